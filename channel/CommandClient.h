// The client side of the command channel: taking turns through the command mutex and sending one command.
#pragma once

#include <cstdint>
#include <memory>

#include "channel/CommandBlock.h"
#include "platform/KernelObjects.h"

namespace kestrix {

/// Results of a send besides the dwStatus the service left (0 or 1, or what the client wrote itself).
inline constexpr int kSendUnreachable = 4;      // the channel's objects could not be reached; nothing was sent
inline constexpr int kSendUnreadable = 255;     // the answer could not be read; the command was carried out
inline constexpr int kSendTimedOut = 258;       // a bounded wait ran out (only with SendOptions limits)
inline constexpr int kSendInvalidLength = 87;   // the block is shorter than a header or larger than the shared block

/// Opens the command mutex, or creates it (open to every account, not owned) when it cannot be opened. The
/// holder's previous mutex, if any, is closed first; afterwards the holder has the mutex, or null when both
/// failed. Returns 1.
int OpenCommandMutex(std::unique_ptr<platform::Mutex>& holder);

/// Sends the 12-byte header `header` and overwrites it with the header the service left. `mutex` may be null
/// (then no turn is taken). Waits without limit. Returns the dwStatus read back, kSendUnreachable when the
/// service is not running or its objects cannot be opened, kSendUnreadable when the answer cannot be mapped.
int SendCommand(platform::Mutex* mutex, CommandBlock& header);

/// Limits on the two waits of a send; INFINITE as the tray program waits.
struct SendOptions {
  uint32_t mutexTimeoutMs = platform::INFINITE;
  uint32_t replyTimeoutMs = platform::INFINITE;
};

/// Sends a whole command block of `length` bytes (header and payload, as the client filled it) and copies the
/// same `length` bytes back from the shared block before the turn is given up, so the caller sees the reply
/// fields and every byte the service left alone. Results as SendCommand, plus kSendTimedOut when a limit of
/// `options` ran out (nothing is read back then) and kSendInvalidLength for a length under 12 or over the
/// shared block's size.
int SendCommandBlock(platform::Mutex* mutex, void* block, uint32_t length, const SendOptions& options = {});

}  // namespace kestrix
