// The self-update block: the service's own version and what the published self-update file announces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kestrix {

#pragma pack(push, 1)

/// Returned whole by the new-version command; one per service process.
struct SelfUpdateInfo {
  int32_t nNewMajor;        // published major version; -1 when the file names none
  int32_t nNewMinor;        // published minor version; -1 when the file names none
  int32_t nCurMajor;        // the service's own major version
  int32_t nCurMinor;        // the service's own minor version
  int32_t bNewVersion;      // 1 when the last completed check found a newer published version
  char16_t szURL[261];
  char16_t szSetupURL[261];
};

#pragma pack(pop)

static_assert(std::is_trivially_copyable_v<SelfUpdateInfo>);
static_assert(sizeof(SelfUpdateInfo) == 1064);
static_assert(offsetof(SelfUpdateInfo, nNewMajor) == 0);
static_assert(offsetof(SelfUpdateInfo, nNewMinor) == 4);
static_assert(offsetof(SelfUpdateInfo, nCurMajor) == 8);
static_assert(offsetof(SelfUpdateInfo, nCurMinor) == 12);
static_assert(offsetof(SelfUpdateInfo, bNewVersion) == 16);
static_assert(offsetof(SelfUpdateInfo, szURL) == 20);
static_assert(offsetof(SelfUpdateInfo, szSetupURL) == 542);

}  // namespace kestrix
