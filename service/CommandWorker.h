// The command worker: the thread that takes the clients' commands out of the shared block one at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "catalogue/SelfUpdateInfo.h"
#include "platform/KernelObjects.h"
#include "service/CommandHandlers.h"

namespace kestrix {

/// The service's objects the worker works with; all owned by the service host and outliving the worker.
struct CommandWorkerContext {
  std::atomic<int32_t>* pStopWorker = nullptr;     // the worker ends after the first wait that reads 1
  platform::Event* pCommandEvent = nullptr;
  platform::Section* pSharedBlock = nullptr;
  SelfUpdateInfo* pSelfUpdate = nullptr;
  CommandHandlers* pHandlers = nullptr;
  /// Called at the top of every wait; the service host holds the worker here while it is paused.
  std::function<void()> holdWhilePaused;
};

/// How long one wait for the command event lasts: a stop is seen within this time even without a signal.
inline constexpr uint32_t kWorkerWaitMs = 100;

/// The worker's thread routine. Runs until the stop flag reads 1, then releases the drive list and the
/// worker's download record and returns 0. A command signalled together with the stop is not carried out.
uint32_t CommandWorker(CommandWorkerContext& context);

/// Handles one signalled command: maps the block, checks code and size, carries the command out, unmaps,
/// resets the command event and signals the client's end event. Exposed for the worker's own tests.
void HandleOneCommand(CommandWorkerContext& context, WorkerState& state);

/// Carries out a checked command whose block lies at `block` (the shared block's start); sets dwStatus.
void CarryOutCommand(uint8_t* block, CommandWorkerContext& context, WorkerState& state);

}  // namespace kestrix
