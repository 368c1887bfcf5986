// The command worker's course and the handling of one command.
#include "service/CommandWorker.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "channel/ChannelNames.h"
#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/FileOps.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "common/ServiceKey.h"

namespace kestrix {

using platform::WaitResult;

namespace {

// The worker works on a private copy of the command and writes back only the reply fields, so that every
// other byte of the block keeps what the client put there, whatever a handler does with its copy.
template <class T>
T LoadBlock(const uint8_t* block) {
  T local;
  std::memcpy(&local, block, sizeof(T));
  return local;
}

template <class T, class F>
void StoreField(uint8_t* block, const T& local, const F T::*field) {
  const auto* base = reinterpret_cast<const uint8_t*>(&local);
  const auto* member = reinterpret_cast<const uint8_t*>(&(local.*field));
  std::memcpy(block + (member - base), member, sizeof(F));
}

void SetStatus(uint8_t* block, uint32_t status) {
  std::memcpy(block + offsetof(CommandBlock, dwStatus), &status, sizeof(status));
}

void SetLanguage(uint32_t language) {
  platform::HKEY key = nullptr;
  if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, kServiceKeyPath, 0,
                              platform::KEY_READ | platform::KEY_WRITE, &key) != ERROR_SUCCESS) {
    return;
  }
  platform::RegSetValueExW(key, u"Language", platform::REG_DWORD, reinterpret_cast<const uint8_t*>(&language),
                           sizeof(language));
  platform::RegCloseKey(key);
}

void MoveFile(MoveFileBlock& move) {
  // A path that a client filled to the end of its field without a terminator is taken as the whole field.
  const std::u16string existing = FieldText(move.szExistingFile, std::size(move.szExistingFile));
  const std::u16string newName = FieldText(move.szNewFile, std::size(move.szNewFile));
  move.bResult = platform::MoveFileExW(existing.empty() ? nullptr : existing.c_str(),
                                       newName.empty() ? nullptr : newName.c_str(), move.dwFlags);
  move.dwLastError = platform::GetLastError();
}

}  // namespace

void CarryOutCommand(uint8_t* block, CommandWorkerContext& context, WorkerState& state) {
  const auto header = LoadBlock<CommandBlock>(block);
  CommandHandlers& handlers = *context.pHandlers;
  switch (header.dwCommand) {
    case CMD_CHECK_FIRMWARE: {
      auto local = LoadBlock<CheckFirmwareBlock>(block);
      handlers.CheckFirmware(local, state);
      StoreField(block, local, &CheckFirmwareBlock::nDriveCount);
      StoreField(block, local, &CheckFirmwareBlock::szCatalogueVersion);
      StoreField(block, local, &CheckFirmwareBlock::bCatalogueValid);
      break;
    }
    case CMD_GET_DEVICE_INFO: {
      auto local = LoadBlock<GetDeviceInfoBlock>(block);
      state.driveList.CopyOut(local.nIndex, &local.DeviceInfo);
      StoreField(block, local, &GetDeviceInfoBlock::DeviceInfo);
      break;
    }
    case CMD_SCHEDULE_BOOT_UPDATE:
      handlers.ScheduleBootUpdate(LoadBlock<ScheduleBootUpdateBlock>(block));
      break;
    case CMD_CLEAR_RESULT:
      handlers.ClearUpdateResult();
      break;
    case CMD_START_UPDATE:
      handlers.StartUpdateJob(LoadBlock<StartUpdateBlock>(block));
      break;
    case CMD_GET_UPDATE_STATUS: {
      auto local = LoadBlock<GetUpdateStatusBlock>(block);
      handlers.GetUpdateStatus(local);
      StoreField(block, local, &GetUpdateStatusBlock::nProgress);
      StoreField(block, local, &GetUpdateStatusBlock::nResultCode);
      StoreField(block, local, &GetUpdateStatusBlock::szNewRevision);
      StoreField(block, local, &GetUpdateStatusBlock::bDone);
      break;
    }
    case CMD_SET_LANGUAGE:
      SetLanguage(LoadBlock<SetLanguageBlock>(block).dwLanguage);
      break;
    case CMD_CHECK_NEW_VERSION: {
      auto local = LoadBlock<CheckNewVersionBlock>(block);
      handlers.CheckNewVersion(local, state, *context.pSelfUpdate);
      StoreField(block, local, &CheckNewVersionBlock::SelfUpdate);
      break;
    }
    case CMD_MOVE_FILE: {
      auto local = LoadBlock<MoveFileBlock>(block);
      MoveFile(local);
      StoreField(block, local, &MoveFileBlock::bResult);
      StoreField(block, local, &MoveFileBlock::dwLastError);
      break;
    }
    default:
      return;  // not reached: the caller checked the code
  }
  SetStatus(block, 0);
}

void HandleOneCommand(CommandWorkerContext& context, WorkerState& state) {
  uint32_t error = 0;
  // 1.-4. The view is mapped only while the command is carried out.
  if (std::unique_ptr<platform::SectionView> view = context.pSharedBlock->MapView(error)) {
    uint8_t* block = view->Data();
    SetStatus(block, 1);
    const auto header = LoadBlock<CommandBlock>(block);
    const uint32_t size = CommandSize(header.dwCommand);
    if (size != 0 && header.dwSize == size && view->Size() >= size) {
      CarryOutCommand(block, context, state);
    }
  }
  // 5. A signal that arrived meanwhile is dropped: only the clients' mutex keeps a second one away.
  context.pCommandEvent->Reset();
  // 6. Answer the client, if it still waits.
  if (std::unique_ptr<platform::Event> endEvent = platform::Event::Open(EndEventName(), error)) {
    endEvent->Set();
  }
}

uint32_t CommandWorker(CommandWorkerContext& context) {
  std::memset(context.pSelfUpdate, 0, sizeof(SelfUpdateInfo));
  context.pHandlers->WorkerStarting(*context.pSelfUpdate);

  auto state = std::make_unique<WorkerState>();
  state->driveList.Empty();

  // A pause holds the worker around its waits: a command that arrives while it is paused is taken up only
  // after the continue, and the stop flag is read after the hold, before any command is looked at.
  auto wait = [&context] {
    if (context.holdWhilePaused) {
      context.holdWhilePaused();
    }
    const WaitResult result = context.pCommandEvent->Wait(kWorkerWaitMs);
    if (context.holdWhilePaused) {
      context.holdWhilePaused();
    }
    return result;
  };

  WaitResult result = wait();
  while (context.pStopWorker->load() != 1) {
    if (result == WaitResult::Signaled) {
      HandleOneCommand(context, *state);
    }
    result = wait();
  }

  state->driveList.Empty();
  context.pHandlers->WorkerEnding();
  return 0;
}

}  // namespace kestrix
