// The service manager as an installer sees it: registering, starting, stopping and deleting a service.
//
// On this host the service manager is systemd. A registration is a unit file plus the service's registry key
// with the values the Windows service manager keeps there (Type, Start, ErrorControl, ImagePath, DisplayName,
// ObjectName). Where no systemd runs (and always under a test root, so a test never reaches the host's
// systemd), the manager cannot be opened: OpenSCManagerW fails with RPC_S_SERVER_UNAVAILABLE.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ServiceControl.h"

namespace kestrix::platform {

inline constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;

inline constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr uint32_t ERROR_SERVICE_EXISTS = 1073;
inline constexpr uint32_t ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr uint32_t ERROR_PROCESS_ABORTED = 1067;
inline constexpr uint32_t RPC_S_SERVER_UNAVAILABLE = 1722;

/// An open service manager or service; null is failure.
struct ScHandleTag;
using SC_HANDLE = ScHandleTag*;

/// The service manager's operations, each setting the thread's last error on failure (GetLastError).
class ServiceControlManager {
 public:
  virtual ~ServiceControlManager() = default;
  virtual SC_HANDLE OpenSCManagerW(const char16_t* machine, const char16_t* database, uint32_t access) = 0;
  /// Registers a service of its own process under the local system account (no group, no dependencies).
  virtual SC_HANDLE CreateServiceW(SC_HANDLE manager, const char16_t* serviceName, const char16_t* displayName,
                                   uint32_t access, uint32_t serviceType, uint32_t startType, uint32_t errorControl,
                                   const char16_t* binaryPath) = 0;
  virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, const char16_t* serviceName, uint32_t access) = 0;
  virtual int StartServiceW(SC_HANDLE service, uint32_t argc, const char16_t** argv) = 0;
  virtual int QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
  /// Sends a control and returns when the service has acted on it (a stop: when it has stopped).
  virtual int ControlService(SC_HANDLE service, uint32_t control, SERVICE_STATUS* status) = 0;
  virtual int DeleteService(SC_HANDLE service) = 0;
  virtual int CloseServiceHandle(SC_HANDLE handle) = 0;
};

/// The host's service manager (systemd).
ServiceControlManager& SystemServiceManager();

}  // namespace kestrix::platform
