// Sending one command through the shared block and waiting for the service's answer.
#include "channel/CommandClient.h"

#include <cstring>

#include "channel/ChannelNames.h"

namespace kestrix {

using platform::Event;
using platform::Mutex;
using platform::Section;
using platform::SectionView;
using platform::WaitResult;

int OpenCommandMutex(std::unique_ptr<Mutex>& holder) {
  holder.reset();
  uint32_t error = 0;
  const std::u16string name = CommandMutexName();
  holder = Mutex::Open(name, error);
  if (!holder) {
    holder = Mutex::Create(name, false, error);
  }
  return 1;
}

int SendCommand(Mutex* mutex, CommandBlock& header) {
  return SendCommandBlock(mutex, &header, sizeof(header));
}

int SendCommandBlock(Mutex* mutex, void* block, uint32_t length, const SendOptions& options) {
  if (length < sizeof(CommandBlock) || length > kSharedBlockSize) {
    return kSendInvalidLength;
  }
  const bool bounded = options.replyTimeoutMs != platform::INFINITE;

  // 1. Take our turn. An abandoned mutex is ours like a free one; a failed wait is not examined either.
  if (mutex != nullptr && mutex->Wait(options.mutexTimeoutMs) == WaitResult::Timeout) {
    return kSendTimedOut;
  }

  // 2. The names of the command event, the end event and the shared block.
  const std::u16string commandEventName = CommandEventName();
  const std::u16string endEventName = EndEventName();
  const std::u16string sharedBlockName = SharedBlockName();

  int result = kSendUnreachable;
  std::unique_ptr<Event> commandEvent;
  std::unique_ptr<Event> endEvent;
  std::unique_ptr<Section> sharedBlock;
  uint32_t error = 0;

  do {
    // 3. A command event that cannot be opened means the service is not running.
    if (!Event::Open(commandEventName, error)) {
      break;
    }
    // 4. Open it again and keep it.
    commandEvent = Event::Open(commandEventName, error);
    if (!commandEvent) {
      break;
    }
    // 5. Our end event (an existing one is used as it is).
    endEvent = Event::Create(endEventName, false, false, error);
    if (!endEvent) {
      break;
    }
    if (bounded) {
      // A client before us that gave up on its answer may have left the event signalled.
      endEvent->Reset();
    }
    // 6.-8. Place the command in the shared block.
    sharedBlock = Section::Open(sharedBlockName, error);
    if (!sharedBlock || sharedBlock->Size() < length) {
      break;
    }
    {
      std::unique_ptr<SectionView> view = sharedBlock->MapView(error);
      if (!view) {
        break;
      }
      std::memcpy(view->Data(), block, length);
    }
    // 9. Tell the service.
    commandEvent->Set();
    // 10. Wait for its answer.
    if (endEvent->Wait(options.replyTimeoutMs) == WaitResult::Timeout) {
      result = kSendTimedOut;
      break;
    }
    endEvent->Reset();
    // 11.-12. Read the answer back.
    std::unique_ptr<SectionView> view = sharedBlock->MapView(error);
    if (!view) {
      result = kSendUnreadable;
      break;
    }
    std::memcpy(block, view->Data(), length);
    CommandBlock header{};
    std::memcpy(&header, block, sizeof(header));
    result = static_cast<int>(header.dwStatus);
  } while (false);

  // 13. Close what was obtained, in this order, then give up the turn.
  sharedBlock.reset();
  commandEvent.reset();
  endEvent.reset();
  if (mutex != nullptr) {
    mutex->Release();
  }
  return result;
}

}  // namespace kestrix
