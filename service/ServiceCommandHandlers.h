// The service's handlers of the commands the worker does not carry out itself.
#pragma once

#include "service/CommandHandlers.h"

namespace kestrix {

/// The handlers KestrixSvc runs with. Scheduling a boot-time update (242) and clearing the stored result (243)
/// are the boot-time scheduling's (BootUpdate.h). The catalogue check, the update job and the self-update
/// check are not in the program yet: until they are, the catalogue check answers as with no catalogue URL
/// configured (empty list, no version, not valid), the status query reports a job that never ran, and the
/// self-update check returns the block as it stands.
class ServiceCommandHandlers : public CommandHandlers {
 public:
  void WorkerStarting(SelfUpdateInfo& selfUpdate) override;
  void WorkerEnding() override;
  void CheckFirmware(CheckFirmwareBlock& block, WorkerState& state) override;
  void ScheduleBootUpdate(const ScheduleBootUpdateBlock& block) override;
  void ClearUpdateResult() override;
  void StartUpdateJob(const StartUpdateBlock& block) override;
  void GetUpdateStatus(GetUpdateStatusBlock& block) override;
  void CheckNewVersion(CheckNewVersionBlock& block, WorkerState& state, SelfUpdateInfo& selfUpdate) override;
};

}  // namespace kestrix
