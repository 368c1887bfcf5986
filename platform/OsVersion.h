// The operating system's version as the system's version-dependent behaviour reads it (Windows numbering).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrix::platform {

/// The version record, field for field as GetVersionExW fills it (276 bytes).
struct OSVERSIONINFOW {
  uint32_t dwOSVersionInfoSize;
  uint32_t dwMajorVersion;
  uint32_t dwMinorVersion;
  uint32_t dwBuildNumber;
  uint32_t dwPlatformId;
  char16_t szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276);
static_assert(offsetof(OSVERSIONINFOW, szCSDVersion) == 20);

/// Fills `info` (whose dwOSVersionInfoSize must be 276) with the Windows-equivalent version of this host:
/// 10.0 on Linux. Returns non-zero on success; ERROR_INSUFFICIENT_BUFFER for a wrong size.
/// Tests may set another version (5.0, 5.1, 5.2, 6.0, ...) with OverrideOsVersion, or, in a process under a
/// test root (KESTRIX_ROOT set), with KESTRIX_OS_VERSION="MAJOR.MINOR".
int GetVersionExW(OSVERSIONINFOW* info);

/// Makes GetVersionExW report `major`.`minor` in this process; major 0 returns to the host's version.
void OverrideOsVersion(uint32_t major, uint32_t minor);

}  // namespace kestrix::platform
