// The command block: the wire format of the shared block through which clients hand the service its commands.
//
// All integers are little-endian, text fields UTF-16LE ended by a zero character inside the field. The layouts
// are shared with the outside client program: every size and offset below is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "catalogue/DeviceInfo.h"
#include "catalogue/SelfUpdateInfo.h"

namespace kestrix {

inline constexpr uint32_t CMD_CHECK_FIRMWARE = 240;
inline constexpr uint32_t CMD_GET_DEVICE_INFO = 241;
inline constexpr uint32_t CMD_SCHEDULE_BOOT_UPDATE = 242;
inline constexpr uint32_t CMD_CLEAR_RESULT = 243;
inline constexpr uint32_t CMD_START_UPDATE = 244;
inline constexpr uint32_t CMD_GET_UPDATE_STATUS = 245;
inline constexpr uint32_t CMD_SET_LANGUAGE = 246;
inline constexpr uint32_t CMD_CHECK_NEW_VERSION = 247;
inline constexpr uint32_t CMD_MOVE_FILE = 248;

/// Size of the shared block: 512 KiB, of which the command block uses the start.
inline constexpr uint32_t kSharedBlockSize = 0x80000;

#pragma pack(push, 1)

/// The 12-byte header every command starts with.
struct CommandBlock {
  uint32_t dwCommand;  // 240 to 248; the service never changes it
  uint32_t dwStatus;   // the service's answer: 0 carried out, 1 refused (bad code or size)
  uint32_t dwSize;     // size of the whole command, header included; the service never changes it
};

/// 240: download the catalogue and rebuild the drive list.
struct CheckFirmwareBlock {
  CommandBlock hdr;
  int32_t nDriveCount;
  char16_t szCatalogueVersion[9];
  uint8_t reserved34[2];  // not written by the service
  int32_t bCatalogueValid;
};

/// 241: one record of the drive list.
struct GetDeviceInfoBlock {
  CommandBlock hdr;
  int32_t nIndex;
  _DEVICE_INFO DeviceInfo;
};

/// 242: schedule a boot-time update.
struct ScheduleBootUpdateBlock {
  CommandBlock hdr;
  char16_t szBootApp[261];
  char16_t szBootSerial[21];
  char16_t szBootCurRev[9];
  char16_t szBootNewRev[9];
  char16_t szBootModel[41];
  char16_t szBootFWFile[261];
};

/// 243: delete the stored result of the last update.
struct ClearResultBlock {
  CommandBlock hdr;
};

/// 244: write a firmware image to a drive in the background.
struct StartUpdateBlock {
  CommandBlock hdr;
  char16_t szImagePath[261];
  _DEVICE_INFO DeviceInfo;  // lies at offset 534: its fields are not aligned
  uint8_t reserved1622[2];  // not read by the service
};

/// 245: progress and outcome of the update job.
struct GetUpdateStatusBlock {
  CommandBlock hdr;
  int32_t nProgress;
  int32_t nResultCode;
  char16_t szNewRevision[9];
  uint8_t reserved38[2];  // not written by the service
  int32_t bDone;
};

/// 246: store the user's language.
struct SetLanguageBlock {
  CommandBlock hdr;
  uint32_t dwLanguage;
};

/// 247: the self-update block.
struct CheckNewVersionBlock {
  CommandBlock hdr;
  SelfUpdateInfo SelfUpdate;
};

/// 248: move or delete a file with the service's rights.
struct MoveFileBlock {
  CommandBlock hdr;
  int32_t bResult;
  uint32_t dwLastError;
  char16_t szExistingFile[261];
  char16_t szNewFile[261];
  uint32_t dwFlags;
};

#pragma pack(pop)

/// The size a command's dwSize must hold, or 0 for a code that is no command.
constexpr uint32_t CommandSize(uint32_t command) {
  switch (command) {
    case CMD_CHECK_FIRMWARE: return sizeof(CheckFirmwareBlock);
    case CMD_GET_DEVICE_INFO: return sizeof(GetDeviceInfoBlock);
    case CMD_SCHEDULE_BOOT_UPDATE: return sizeof(ScheduleBootUpdateBlock);
    case CMD_CLEAR_RESULT: return sizeof(ClearResultBlock);
    case CMD_START_UPDATE: return sizeof(StartUpdateBlock);
    case CMD_GET_UPDATE_STATUS: return sizeof(GetUpdateStatusBlock);
    case CMD_SET_LANGUAGE: return sizeof(SetLanguageBlock);
    case CMD_CHECK_NEW_VERSION: return sizeof(CheckNewVersionBlock);
    case CMD_MOVE_FILE: return sizeof(MoveFileBlock);
    default: return 0;
  }
}

/// The largest command; a client buffer of this size holds any command.
inline constexpr uint32_t kMaxCommandSize = 1624;

#define KESTRIX_WIRE(T)                      \
  static_assert(std::is_trivially_copyable_v<T>); \
  static_assert(std::is_standard_layout_v<T>)

KESTRIX_WIRE(CommandBlock);
static_assert(sizeof(CommandBlock) == 12);
static_assert(offsetof(CommandBlock, dwCommand) == 0);
static_assert(offsetof(CommandBlock, dwStatus) == 4);
static_assert(offsetof(CommandBlock, dwSize) == 8);

KESTRIX_WIRE(CheckFirmwareBlock);
static_assert(sizeof(CheckFirmwareBlock) == 40);
static_assert(offsetof(CheckFirmwareBlock, nDriveCount) == 12);
static_assert(offsetof(CheckFirmwareBlock, szCatalogueVersion) == 16);
static_assert(offsetof(CheckFirmwareBlock, reserved34) == 34);
static_assert(offsetof(CheckFirmwareBlock, bCatalogueValid) == 36);

KESTRIX_WIRE(GetDeviceInfoBlock);
static_assert(sizeof(GetDeviceInfoBlock) == 1104);
static_assert(offsetof(GetDeviceInfoBlock, nIndex) == 12);
static_assert(offsetof(GetDeviceInfoBlock, DeviceInfo) == 16);

KESTRIX_WIRE(ScheduleBootUpdateBlock);
static_assert(sizeof(ScheduleBootUpdateBlock) == 1216);
static_assert(offsetof(ScheduleBootUpdateBlock, szBootApp) == 12);
static_assert(offsetof(ScheduleBootUpdateBlock, szBootSerial) == 534);
static_assert(offsetof(ScheduleBootUpdateBlock, szBootCurRev) == 576);
static_assert(offsetof(ScheduleBootUpdateBlock, szBootNewRev) == 594);
static_assert(offsetof(ScheduleBootUpdateBlock, szBootModel) == 612);
static_assert(offsetof(ScheduleBootUpdateBlock, szBootFWFile) == 694);

KESTRIX_WIRE(ClearResultBlock);
static_assert(sizeof(ClearResultBlock) == 12);

KESTRIX_WIRE(StartUpdateBlock);
static_assert(sizeof(StartUpdateBlock) == 1624);
static_assert(offsetof(StartUpdateBlock, szImagePath) == 12);
static_assert(offsetof(StartUpdateBlock, DeviceInfo) == 534);
static_assert(offsetof(StartUpdateBlock, reserved1622) == 1622);

KESTRIX_WIRE(GetUpdateStatusBlock);
static_assert(sizeof(GetUpdateStatusBlock) == 44);
static_assert(offsetof(GetUpdateStatusBlock, nProgress) == 12);
static_assert(offsetof(GetUpdateStatusBlock, nResultCode) == 16);
static_assert(offsetof(GetUpdateStatusBlock, szNewRevision) == 20);
static_assert(offsetof(GetUpdateStatusBlock, reserved38) == 38);
static_assert(offsetof(GetUpdateStatusBlock, bDone) == 40);

KESTRIX_WIRE(SetLanguageBlock);
static_assert(sizeof(SetLanguageBlock) == 16);
static_assert(offsetof(SetLanguageBlock, dwLanguage) == 12);

KESTRIX_WIRE(CheckNewVersionBlock);
static_assert(sizeof(CheckNewVersionBlock) == 1076);
static_assert(offsetof(CheckNewVersionBlock, SelfUpdate) == 12);

KESTRIX_WIRE(MoveFileBlock);
static_assert(sizeof(MoveFileBlock) == 1068);
static_assert(offsetof(MoveFileBlock, bResult) == 12);
static_assert(offsetof(MoveFileBlock, dwLastError) == 16);
static_assert(offsetof(MoveFileBlock, szExistingFile) == 20);
static_assert(offsetof(MoveFileBlock, szNewFile) == 542);
static_assert(offsetof(MoveFileBlock, dwFlags) == 1064);

static_assert(kMaxCommandSize == sizeof(StartUpdateBlock));

#undef KESTRIX_WIRE

}  // namespace kestrix
