// The power interface: the shutdown privilege and the request to shut the machine down.
//
// On this host the shutdown privilege is the capability CAP_SYS_BOOT, and a shutdown is a power-off (or reboot)
// asked of systemd. Capabilities belong to a thread: the thread that enables the privilege is the one that must
// ask for the shutdown.
//
// Safety: under a test or demo root (KESTRIX_ROOT names a directory other than "/", see Paths.h) ExitWindowsEx
// never shuts anything down and starts no program; it appends one line "<action> flags=<f> reason=<r>" to
// PowerRequestFile() instead and succeeds, so a test can see what the system asked for.
#pragma once

#include <cstdint>
#include <filesystem>

namespace kestrix::platform {

inline constexpr uint32_t EWX_LOGOFF = 0x00;
inline constexpr uint32_t EWX_SHUTDOWN = 0x01;
inline constexpr uint32_t EWX_REBOOT = 0x02;
inline constexpr uint32_t EWX_FORCE = 0x04;
inline constexpr uint32_t EWX_POWEROFF = 0x08;
inline constexpr uint32_t EWX_FORCEIFHUNG = 0x10;

/// Win32 numbers of the power interface's own failures.
inline constexpr uint32_t ERROR_NOT_ALL_ASSIGNED = 1300;    // the privilege is not held at all
inline constexpr uint32_t ERROR_PRIVILEGE_NOT_HELD = 1314;  // held but not enabled

/// Enables the shutdown privilege for the calling thread: raises CAP_SYS_BOOT into its effective set when the
/// permitted set holds it. Returns 1 exactly when the privilege is effective afterwards, with last error
/// ERROR_SUCCESS; otherwise 0 with ERROR_NOT_ALL_ASSIGNED (not permitted) or the mapped system error.
int EnableShutdownPrivilegeOnHost();

/// True when the calling thread's shutdown privilege is enabled (CAP_SYS_BOOT effective).
bool ShutdownPrivilegeEnabled();

/// Asks for the machine to go down. EWX_SHUTDOWN or EWX_POWEROFF: power-off; EWX_REBOOT: reboot; EWX_FORCE:
/// without waiting for programs to end (systemctl --force). `reason` is recorded, nothing more.
/// Returns true once the request was handed over (the machine goes down afterwards; the call does not wait
/// for it); false with the last error set: ERROR_PRIVILEGE_NOT_HELD when the calling thread has not enabled
/// the privilege, ERROR_INVALID_PARAMETER for unknown flags, ERROR_NOT_SUPPORTED for a log-off or where no
/// systemd runs, ERROR_GEN_FAILURE when systemctl refused, or the error of starting it.
/// Under a test or demo root: only the line in PowerRequestFile() (see above), after the same checks.
bool ExitWindowsEx(uint32_t flags, uint32_t reason);

/// Where ExitWindowsEx records its requests under a test or demo root: <root>/var/lib/kestrix/power-requests.
std::filesystem::path PowerRequestFile();

}  // namespace kestrix::platform
