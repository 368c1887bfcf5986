// The service's command handlers as far as the program has them.
#include "service/ServiceCommandHandlers.h"

#include <cstring>

#include "service/BootUpdate.h"

namespace kestrix {

void ServiceCommandHandlers::WorkerStarting(SelfUpdateInfo& /*selfUpdate*/) {}

void ServiceCommandHandlers::WorkerEnding() {}

void ServiceCommandHandlers::CheckFirmware(CheckFirmwareBlock& block, WorkerState& state) {
  state.driveList.Empty();
  std::memset(state.szCatalogueVersion, 0, sizeof(state.szCatalogueVersion));
  std::memset(state.szURL, 0, sizeof(state.szURL));
  block.nDriveCount = state.driveList.Count();
  std::memcpy(block.szCatalogueVersion, state.szCatalogueVersion, sizeof(block.szCatalogueVersion));
  block.bCatalogueValid = 0;
}

// The outcomes of both are not reported: the worker answers dwStatus 0 whatever they did.
void ServiceCommandHandlers::ScheduleBootUpdate(const ScheduleBootUpdateBlock& block) {
  kestrix::ScheduleBootUpdate(block);
}

void ServiceCommandHandlers::ClearUpdateResult() { kestrix::ClearUpdateResult(); }

void ServiceCommandHandlers::StartUpdateJob(const StartUpdateBlock& /*block*/) {}

void ServiceCommandHandlers::GetUpdateStatus(GetUpdateStatusBlock& block) {
  block.nProgress = 0;
  block.nResultCode = 0;
  std::memset(block.szNewRevision, 0, sizeof(block.szNewRevision));
  block.bDone = 0;
}

void ServiceCommandHandlers::CheckNewVersion(CheckNewVersionBlock& block, WorkerState& state,
                                             SelfUpdateInfo& selfUpdate) {
  std::memset(state.szURL, 0, sizeof(state.szURL));
  std::memcpy(&block.SelfUpdate, &selfUpdate, sizeof(selfUpdate));
}

}  // namespace kestrix
