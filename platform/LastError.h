// The calling thread's last-error code, as the platform operations leave it.
#pragma once

#include <cstdint>

namespace kestrix::platform {

/// The Win32 error number the last failing (or, where documented, succeeding) operation of this thread left.
uint32_t GetLastError();

/// Sets this thread's last-error code.
void SetLastError(uint32_t error);

}  // namespace kestrix::platform
