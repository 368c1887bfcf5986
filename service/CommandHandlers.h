// The operations the command worker hands its larger commands to, supplied by the engine, the catalogue and
// the boot-time scheduling.
#pragma once

#include "catalogue/DriveList.h"
#include "catalogue/LogicalDriveTable.h"
#include "catalogue/SelfUpdateInfo.h"
#include "channel/CommandBlock.h"

namespace kestrix {

/// What the worker keeps for the command handlers between commands (its own state, one thread only).
struct WorkerState {
  DriveList driveList;
  LogicalDriveTable logicalDrives{};
  char16_t szCatalogueVersion[9]{};
  char16_t szURL[261]{};
};

/// The handlers of commands 240, 242 to 245 and 247. Each fills the reply fields of its block; none of them
/// touches dwStatus. All run on the worker thread.
class CommandHandlers {
 public:
  virtual ~CommandHandlers() = default;

  /// Called once when the worker starts, after it zero-filled the self-update block: fills in the own
  /// version and sets up the worker's download record.
  virtual void WorkerStarting(SelfUpdateInfo& selfUpdate) = 0;

  /// Called once when the worker ends: destroys the worker's download record.
  virtual void WorkerEnding() = 0;

  /// 240: empties and rebuilds the drive list from the catalogue; writes nDriveCount, szCatalogueVersion and
  /// bCatalogueValid.
  virtual void CheckFirmware(CheckFirmwareBlock& block, WorkerState& state) = 0;

  /// 242: stores the scheduling values and appends the boot-time program to BootExecute.
  virtual void ScheduleBootUpdate(const ScheduleBootUpdateBlock& block) = 0;

  /// 243: deletes the three result values.
  virtual void ClearUpdateResult() = 0;

  /// 244: stores the image path and drive record in the update job and starts it; returns at once.
  virtual void StartUpdateJob(const StartUpdateBlock& block) = 0;

  /// 245: fills nProgress, nResultCode, szNewRevision and bDone from the update job.
  virtual void GetUpdateStatus(GetUpdateStatusBlock& block) = 0;

  /// 247: runs the self-update check and copies the whole self-update block into the reply.
  virtual void CheckNewVersion(CheckNewVersionBlock& block, WorkerState& state, SelfUpdateInfo& selfUpdate) = 0;
};

}  // namespace kestrix
