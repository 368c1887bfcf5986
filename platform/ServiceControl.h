// The service manager as the service program sees it: the dispatcher, the control handler and status reports.
//
// On this host the service manager is systemd with a Type=notify unit: a program started by it finds
// NOTIFY_SOCKET set; status reports are notify datagrams; controls arrive as signals and are handled on the
// dispatcher's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kestrix::platform {

inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;

inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr uint32_t SERVICE_PAUSED = 7;

inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr uint32_t SERVICE_CONTROL_PARAMCHANGE = 6;

/// The status a service reports, field for field as the Windows service manager takes it.
struct SERVICE_STATUS {
  uint32_t dwServiceType;
  uint32_t dwCurrentState;
  uint32_t dwControlsAccepted;
  uint32_t dwWin32ExitCode;
  uint32_t dwServiceSpecificExitCode;
  uint32_t dwCheckPoint;
  uint32_t dwWaitHint;
};
static_assert(sizeof(SERVICE_STATUS) == 28);

/// A registration of a control handler; null when registration failed.
struct ServiceStatusHandleTag;
using SERVICE_STATUS_HANDLE = ServiceStatusHandleTag*;

/// Runs `serviceMain` on a thread of its own and handles controls on the calling thread until it returns.
/// Returns ERROR_SUCCESS after the service main routine ended, or ERROR_FAILED_SERVICE_CONTROLLER_CONNECT at
/// once when the program was not started by the service manager.
uint32_t StartServiceCtrlDispatcherW(const char16_t* serviceName, const std::function<void()>& serviceMain);

/// Registers the control handler the dispatcher calls for each control. Returns null (with the thread's last
/// error set) when no dispatcher runs. The handle stays valid for the process's life.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(const char16_t* serviceName,
                                                    std::function<uint32_t(uint32_t control)> handler);

/// Sends one status report to the service manager. Returns false (last error set) when it could not be sent.
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);

}  // namespace kestrix::platform
