// The service manager on systemd: a unit file and the service's registry key make a registration.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"

extern char** environ;

namespace kestrix::platform {

struct ScHandleTag {
  bool manager = false;
  std::u16string name;
};

namespace {

constexpr char kUnitDirectory[] = "/etc/systemd/system/";

bool SystemdRuns() {
  // A test or demo root never reaches the host's systemd.
  return RootDir() == "/" && ::access("/run/systemd/system", F_OK) == 0;
}

std::string UnitName(const std::u16string& serviceName) {
  std::string unit;
  for (const char c : ToUtf8(serviceName)) {
    unit += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  return unit + ".service";
}

// Runs systemctl with `args`; its exit code, or -1 when it could not be started. Stdout goes to *out if given.
int Systemctl(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::vector<std::string> words{"systemctl"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out != nullptr && ::pipe2(fds, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  }
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (fds[1] >= 0) ::close(fds[1]);
  if (rc != 0) {
    if (fds[0] >= 0) ::close(fds[0]);
    return -1;
  }
  if (fds[0] >= 0) {
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out->append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::u16string ServiceKeyPath(const std::u16string& name) {
  return u"SYSTEM\\CurrentControlSet\\Services\\" + name;
}

void SetString(HKEY key, const char16_t* name, uint32_t type, const std::u16string& text) {
  // As the Windows service manager stores them: with the terminating zero.
  RegSetValueExW(key, name, type, reinterpret_cast<const uint8_t*>(text.c_str()),
                 static_cast<uint32_t>((text.size() + 1) * 2));
}

void SetDword(HKEY key, const char16_t* name, uint32_t value) {
  RegSetValueExW(key, name, REG_DWORD, reinterpret_cast<const uint8_t*>(&value), sizeof value);
}

SC_HANDLE Fail(uint32_t error) {
  SetLastError(error);
  return nullptr;
}

int FailInt(uint32_t error) {
  SetLastError(error);
  return 0;
}

class SystemdManager : public ServiceControlManager {
 public:
  SC_HANDLE OpenSCManagerW(const char16_t*, const char16_t*, uint32_t access) override {
    if (!SystemdRuns()) return Fail(RPC_S_SERVER_UNAVAILABLE);
    if (access != 0 && ::geteuid() != 0) return Fail(ERROR_ACCESS_DENIED);
    auto* handle = new ScHandleTag;
    handle->manager = true;
    return handle;
  }

  SC_HANDLE CreateServiceW(SC_HANDLE manager, const char16_t* serviceName, const char16_t* displayName, uint32_t,
                           uint32_t serviceType, uint32_t startType, uint32_t errorControl,
                           const char16_t* binaryPath) override {
    if (manager == nullptr || !manager->manager || serviceName == nullptr || binaryPath == nullptr) {
      return Fail(ERROR_INVALID_HANDLE);
    }
    const std::string unitPath = kUnitDirectory + UnitName(serviceName);
    if (::access(unitPath.c_str(), F_OK) == 0) return Fail(ERROR_SERVICE_EXISTS);
    {
      std::ofstream unit(unitPath);
      unit << "# Registered by the Kestrix installation.\n"
              "[Unit]\nDescription=" << ToUtf8(displayName != nullptr ? displayName : serviceName) << "\n\n"
              "[Service]\nType=notify\nNotifyAccess=main\nExecStart=" << ToUtf8(binaryPath) << "\n"
              "RuntimeDirectory=kestrix\nRuntimeDirectoryMode=1777\nRuntimeDirectoryPreserve=yes\n"
              "StateDirectory=kestrix\nStateDirectoryMode=0755\n\n"
              "[Install]\nWantedBy=multi-user.target\n";
      if (!unit) return Fail(ERROR_ACCESS_DENIED);
    }
    HKEY key = nullptr;
    if (const uint32_t rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(serviceName).c_str(), KEY_ALL_ACCESS,
                                            &key, nullptr);
        rc != ERROR_SUCCESS) {
      ::unlink(unitPath.c_str());
      return Fail(rc);
    }
    SetDword(key, u"Type", serviceType);
    SetDword(key, u"Start", startType);
    SetDword(key, u"ErrorControl", errorControl);
    SetString(key, u"ImagePath", REG_EXPAND_SZ, binaryPath);
    SetString(key, u"DisplayName", REG_SZ, displayName != nullptr ? displayName : serviceName);
    SetString(key, u"ObjectName", REG_SZ, u"LocalSystem");
    RegCloseKey(key);
    Systemctl({"daemon-reload"});
    if (startType == SERVICE_AUTO_START) Systemctl({"enable", "--quiet", UnitName(serviceName)});
    auto* handle = new ScHandleTag;
    handle->name = serviceName;
    return handle;
  }

  SC_HANDLE OpenServiceW(SC_HANDLE manager, const char16_t* serviceName, uint32_t) override {
    if (manager == nullptr || !manager->manager || serviceName == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (::access((kUnitDirectory + UnitName(serviceName)).c_str(), F_OK) != 0) {
      return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    auto* handle = new ScHandleTag;
    handle->name = serviceName;
    return handle;
  }

  int StartServiceW(SC_HANDLE service, uint32_t, const char16_t**) override {
    if (service == nullptr || service->manager) return FailInt(ERROR_INVALID_HANDLE);
    return Systemctl({"start", UnitName(service->name)}) == 0 ? 1 : FailInt(ERROR_PROCESS_ABORTED);
  }

  int QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    if (service == nullptr || service->manager || status == nullptr) return FailInt(ERROR_INVALID_HANDLE);
    std::string state;
    if (Systemctl({"is-active", UnitName(service->name)}, &state) < 0) return FailInt(RPC_S_SERVER_UNAVAILABLE);
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    if (state.rfind("active", 0) == 0 || state.rfind("reloading", 0) == 0) status->dwCurrentState = SERVICE_RUNNING;
    if (state.rfind("activating", 0) == 0) status->dwCurrentState = SERVICE_START_PENDING;
    if (state.rfind("deactivating", 0) == 0) status->dwCurrentState = SERVICE_STOP_PENDING;
    return 1;
  }

  int ControlService(SC_HANDLE service, uint32_t control, SERVICE_STATUS* status) override {
    if (service == nullptr || service->manager) return FailInt(ERROR_INVALID_HANDLE);
    const std::string unit = UnitName(service->name);
    int rc = -1;
    switch (control) {
      case SERVICE_CONTROL_STOP: rc = Systemctl({"stop", unit}); break;
      case SERVICE_CONTROL_PAUSE: rc = Systemctl({"kill", "-s", "SIGUSR1", unit}); break;
      case SERVICE_CONTROL_CONTINUE: rc = Systemctl({"kill", "-s", "SIGUSR2", unit}); break;
      case SERVICE_CONTROL_INTERROGATE: rc = Systemctl({"kill", "-s", "SIGWINCH", unit}); break;
      case SERVICE_CONTROL_PARAMCHANGE: rc = Systemctl({"kill", "-s", "SIGHUP", unit}); break;
      default: return FailInt(ERROR_INVALID_PARAMETER);
    }
    if (rc != 0) return FailInt(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return status == nullptr ? 1 : QueryServiceStatus(service, status);
  }

  int DeleteService(SC_HANDLE service) override {
    if (service == nullptr || service->manager) return FailInt(ERROR_INVALID_HANDLE);
    const std::string unit = UnitName(service->name);
    Systemctl({"disable", "--quiet", unit});
    if (::unlink((kUnitDirectory + unit).c_str()) != 0) return FailInt(Win32FromErrno(errno));
    Systemctl({"daemon-reload"});
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, ServiceKeyPath(service->name).c_str());
    return 1;
  }

  int CloseServiceHandle(SC_HANDLE handle) override {
    if (handle == nullptr) return FailInt(ERROR_INVALID_HANDLE);
    delete handle;
    return 1;
  }
};

}  // namespace

ServiceControlManager& SystemServiceManager() {
  static SystemdManager manager;
  return manager;
}

}  // namespace kestrix::platform
