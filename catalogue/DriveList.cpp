// The drive list's operations.
#include "catalogue/DriveList.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kestrix {

void DriveList::Empty() {
  std::vector<_DEVICE_INFO>().swap(m_records);
}

bool DriveList::Append(const _DEVICE_INFO& record) {
  const bool duplicate = std::any_of(m_records.begin(), m_records.end(), [&](const _DEVICE_INFO& r) {
    return r.nPhysicalDrive == record.nPhysicalDrive;
  });
  if (duplicate) {
    return false;
  }
  try {
    m_records.push_back(record);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DriveList::CopyOut(int32_t index, _DEVICE_INFO* out) const {
  if (index < 0 || index >= Count()) {
    std::memset(out, 0, sizeof(*out));
    return false;
  }
  std::memcpy(out, &m_records[static_cast<std::size_t>(index)], sizeof(*out));
  return true;
}

}  // namespace kestrix
