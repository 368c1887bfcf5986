// The Windows-equivalent version of a Linux host, with the override tests use.
#include "platform/OsVersion.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Win32Error.h"
#include "platform/LastError.h"

namespace kestrix::platform {

namespace {
std::atomic<uint32_t> g_overrideMajor{0};
std::atomic<uint32_t> g_overrideMinor{0};
}  // namespace

void OverrideOsVersion(uint32_t major, uint32_t minor) {
  g_overrideMinor = minor;
  g_overrideMajor = major;
}

int GetVersionExW(OSVERSIONINFOW* info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  uint32_t major = 10;
  uint32_t minor = 0;
  const char* root = std::getenv("KESTRIX_ROOT");
  const char* forced = std::getenv("KESTRIX_OS_VERSION");
  unsigned a = 0;
  unsigned b = 0;
  if (g_overrideMajor != 0) {
    major = g_overrideMajor;
    minor = g_overrideMinor;
  } else if (root != nullptr && *root != '\0' && forced != nullptr && std::sscanf(forced, "%u.%u", &a, &b) == 2) {
    major = a;
    minor = b;
  }
  std::memset(reinterpret_cast<uint8_t*>(info) + 4, 0, sizeof(OSVERSIONINFOW) - 4);
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = 0;
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  return 1;
}

}  // namespace kestrix::platform
