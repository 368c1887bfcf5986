// The per-thread last-error code.
#include "platform/LastError.h"

namespace kestrix::platform {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t GetLastError() { return t_lastError; }

void SetLastError(uint32_t error) { t_lastError = error; }

}  // namespace kestrix::platform
