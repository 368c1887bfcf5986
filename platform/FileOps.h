// File operations with the Win32 semantics the service's file-move command relies on.
#pragma once

#include <cstdint>

namespace kestrix::platform {

inline constexpr uint32_t MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr uint32_t MOVEFILE_COPY_ALLOWED = 0x2;
inline constexpr uint32_t MOVEFILE_DELAY_UNTIL_REBOOT = 0x4;
inline constexpr uint32_t MOVEFILE_WRITE_THROUGH = 0x8;
inline constexpr uint32_t MOVEFILE_CREATE_HARDLINK = 0x10;
inline constexpr uint32_t MOVEFILE_FAIL_IF_NOT_TRACKABLE = 0x20;

/// Moves or renames a file or directory, as MoveFileExW does. A null `newName` deletes (only together with
/// MOVEFILE_DELAY_UNTIL_REBOOT). With MOVEFILE_DELAY_UNTIL_REBOOT nothing moves now: the pair is appended to
/// the registry value PendingFileRenameOperations of the Session Manager key. Returns non-zero on success;
/// the thread's last-error code (GetLastError) is set on failure and cleared to ERROR_SUCCESS on success.
int MoveFileExW(const char16_t* existingName, const char16_t* newName, uint32_t flags);

}  // namespace kestrix::platform
