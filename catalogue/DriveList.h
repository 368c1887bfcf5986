// The drive list: the records of the last firmware check, in the order discovery found the drives.
#pragma once

#include <cstdint>
#include <vector>

#include "catalogue/DeviceInfo.h"

namespace kestrix {

/// An ordered list of whole drive records, owned by the command worker. Not thread-safe: one thread uses it.
class DriveList {
 public:
  /// Releases all storage; the count is 0 afterwards.
  void Empty();

  /// Appends a copy of `record`. Returns false, leaving the list unchanged, when memory cannot be had or a
  /// record for the same physical drive is already listed (the list never holds two for one drive).
  bool Append(const _DEVICE_INFO& record);

  int32_t Count() const { return static_cast<int32_t>(m_records.size()); }

  /// Copies the record at `index` into *out. An index outside 0..Count()-1, negative ones included, yields
  /// false and 1088 zero bytes in *out.
  bool CopyOut(int32_t index, _DEVICE_INFO* out) const;

 private:
  std::vector<_DEVICE_INFO> m_records;
};

}  // namespace kestrix
