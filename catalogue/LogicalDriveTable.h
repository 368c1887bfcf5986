// The table of drive letters and the storage device numbers of their volumes, filled by drive discovery.
#pragma once

#include <array>

#include "catalogue/DeviceInfo.h"

namespace kestrix {

/// One entry per letter index ('A' = 0 to 'Z' = 25; entry 26 is never filled). A zero entry never matches a disk.
using LogicalDriveTable = std::array<STORAGE_DEVICE_NUMBER, 27>;

static_assert(sizeof(LogicalDriveTable) == 27 * 12);

}  // namespace kestrix
