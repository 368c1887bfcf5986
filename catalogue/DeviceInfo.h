// The drive record: one catalogued drive as discovery found it, a fixed wire format shared with the client program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kestrix {

#pragma pack(push, 1)

/// The storage device number of a disk or volume: its device type, number and partition.
struct STORAGE_DEVICE_NUMBER {
  uint32_t DeviceType;
  uint32_t DeviceNumber;
  uint32_t PartitionNumber;
};

/// One drive of the drive list. Every byte no field value covers is zero.
struct _DEVICE_INFO {
  int32_t nPhysicalDrive;           // the N of physical drive N; discovery tries 0 to 31
  uint32_t dwLogicalDrives;         // bit k set: drive letter 'A' + k lies on this drive
  uint8_t IdentifyData[512];        // IDENTIFY DEVICE data exactly as the drive returned it
  STORAGE_DEVICE_NUMBER StorageNumber;
  int32_t nMatch;                   // the catalogue's verdict: 0 new firmware, 1 newest, 2 not updatable
  char16_t szFWFile[261];           // URL of the firmware image (only the directory part unless nMatch is 0)
  char16_t szNewRev[9];             // newest revision the catalogue names
  int32_t nNative;                  // the catalogue entry's native value, for the client
  int64_t DiskLength;               // size of the drive in bytes, 0 when unknown
};

#pragma pack(pop)

static_assert(std::is_trivially_copyable_v<STORAGE_DEVICE_NUMBER>);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceType) == 0);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) == 4);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, PartitionNumber) == 8);

static_assert(std::is_trivially_copyable_v<_DEVICE_INFO>);
static_assert(sizeof(_DEVICE_INFO) == 1088);
static_assert(offsetof(_DEVICE_INFO, nPhysicalDrive) == 0);
static_assert(offsetof(_DEVICE_INFO, dwLogicalDrives) == 4);
static_assert(offsetof(_DEVICE_INFO, IdentifyData) == 8);
static_assert(offsetof(_DEVICE_INFO, StorageNumber) == 520);
static_assert(offsetof(_DEVICE_INFO, nMatch) == 532);
static_assert(offsetof(_DEVICE_INFO, szFWFile) == 536);
static_assert(offsetof(_DEVICE_INFO, szNewRev) == 1058);
static_assert(offsetof(_DEVICE_INFO, nNative) == 1076);
static_assert(offsetof(_DEVICE_INFO, DiskLength) == 1080);

/// Catalogue verdicts of nMatch. kMatchUnknownModel never becomes a record.
inline constexpr int32_t kMatchNewFirmware = 0;
inline constexpr int32_t kMatchNewest = 1;
inline constexpr int32_t kMatchNotUpdatable = 2;
inline constexpr int32_t kMatchUnknownModel = 3;

/// Byte offsets inside the record of the IDENTIFY text views the system reads.
inline constexpr std::size_t kIdentifySerialOffset = 28;    // words 10-19, 20 characters
inline constexpr std::size_t kIdentifyRevisionOffset = 54;  // words 23-26, 8 characters
inline constexpr std::size_t kIdentifyModelOffset = 62;     // words 27-46, 40 characters
inline constexpr std::size_t kIdentifyWord153HighOffset = 315;

}  // namespace kestrix
