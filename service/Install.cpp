// Installation and removal of the service, and its firewall rules.
#include "service/Install.h"

#include <chrono>
#include <thread>

#include "channel/ChannelNames.h"
#include "common/ServiceKey.h"
#include "common/Win32Error.h"
#include "platform/KernelObjects.h"
#include "platform/LastError.h"
#include "platform/OsVersion.h"
#include "platform/Registry.h"

namespace kestrix {

using namespace platform;

namespace {

// The firewall's command lines are built in a buffer of 520 characters; one that would not fit is refused
// rather than cut, which would hand the tool a different program path.
constexpr std::size_t kCommandLineBuffer = 520;

OSVERSIONINFOW Version() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionExW(&info);
  return info;
}

// The file name without directory and extension, at most 270 characters.
std::u16string BaseName(const std::u16string& path) {
  const auto slash = path.find_last_of(u"\\/");
  std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  const auto dot = name.find_last_of(u'.');
  if (dot != std::u16string::npos) {
    name.resize(dot);
  }
  if (name.size() > 269) {
    name.resize(269);
  }
  return name;
}

void Sleep(const InstallPlatform& platform, uint32_t ms) {
  if (platform.sleep) {
    platform.sleep(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

int WriteServiceString(const char16_t* valueName, const std::u16string& text) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
    return 0;
  }
  const uint32_t rc = RegSetValueExW(key, valueName, REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                                     static_cast<uint32_t>(text.size() * 2));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace

bool HasFirewall() {
  const OSVERSIONINFOW v = Version();
  return v.dwMajorVersion >= 6 || (v.dwMajorVersion == 5 && v.dwMinorVersion == 1);
}

bool HasAdvFirewall() { return Version().dwMajorVersion >= 6; }

std::u16string FirewallCommandLine(const std::u16string& path, bool add) {
  if (!HasFirewall()) {
    return {};
  }
  const std::u16string base = BaseName(path);
  if (HasAdvFirewall()) {
    return add ? u"netsh advfirewall firewall add rule name=\"" + base + u"\" dir=in action=allow program=\"" + path +
                     u"\" enable=yes"
               : u"netsh advfirewall firewall delete rule name=\"" + base + u"\"";
  }
  return add ? u"netsh firewall add allowedprogram program=\"" + path + u"\"  name=" + base
             : u"netsh firewall delete allowedprogram program=\"" + path + u"\"";
}

int RunAndWait(const std::u16string& commandLine, const InstallPlatform& platform) {
  return platform.pRunner->RunAndWait(commandLine) != 0 ? 1 : 0;
}

int AddFirewallRule(const std::u16string& path, const InstallPlatform& platform) {
  const std::u16string line = FirewallCommandLine(path, true);
  if (line.empty() || line.size() >= kCommandLineBuffer) {
    return 0;
  }
  return RunAndWait(line, platform);
}

int RemoveFirewallRule(const std::u16string& path, const InstallPlatform& platform) {
  const std::u16string line = FirewallCommandLine(path, false);
  if (line.empty() || line.size() >= kCommandLineBuffer) {
    return 0;
  }
  return RunAndWait(line, platform);
}

int QuoteImagePath() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
    return 0;
  }
  // 522 bytes are read into room for 262 characters, so a value stored without its terminator that fills
  // all 261 characters still ends inside the buffer.
  char16_t path[262] = {};
  uint32_t size = 522;
  int result = 0;
  if (RegQueryValueExW(key, u"ImagePath", nullptr, reinterpret_cast<uint8_t*>(path), &size) == ERROR_SUCCESS &&
      path[0] != u'\0') {
    const std::u16string quoted = u"\"" + std::u16string(path) + u"\"";
    result = RegSetValueExW(key, u"ImagePath", REG_SZ, reinterpret_cast<const uint8_t*>(quoted.data()),
                            static_cast<uint32_t>(quoted.size() * 2)) == ERROR_SUCCESS
                 ? 1
                 : 0;
  }
  RegCloseKey(key);
  return result;
}

int SetServiceDescription() { return WriteServiceString(u"Description", kServiceDescription); }

int WaitForServiceReady(const std::u16string& name, const InstallPlatform& platform) {
  for (int round = 0; round < 20; ++round) {
    Sleep(platform, 1000);
    uint32_t error = 0;
    if (Event::Open(name, error)) {
      return 0;
    }
  }
  return 4;
}

uint32_t InstallService(const std::u16string& path, const InstallPlatform& platform) {
  ServiceControlManager& scm = *platform.pServiceManager;
  uint32_t result = ERROR_SUCCESS;
  SC_HANDLE service = nullptr;
  SC_HANDLE manager = scm.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    result = GetLastError();
  } else {
    service = scm.CreateServiceW(manager, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str());
    if (service == nullptr) {
      result = GetLastError();
    } else {
      QuoteImagePath();
      if (scm.StartServiceW(service, 0, nullptr) == 0) {
        result = GetLastError();
      }
    }
  }
  if (service != nullptr) scm.CloseServiceHandle(service);
  if (manager != nullptr) scm.CloseServiceHandle(manager);
  if (result == ERROR_SUCCESS) {
    WaitForServiceReady(CommandEventName(), platform);
    SetServiceDescription();
  }
  return result;
}

uint32_t RemoveService(const InstallPlatform& platform) {
  ServiceControlManager& scm = *platform.pServiceManager;
  uint32_t result = ERROR_SUCCESS;
  SC_HANDLE service = nullptr;
  SC_HANDLE manager = scm.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  do {
    if (manager == nullptr) {
      result = GetLastError();
      break;
    }
    service = scm.OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
      result = GetLastError();
      break;
    }
    SERVICE_STATUS status{};
    if (scm.QueryServiceStatus(service, &status) == 0) {
      result = GetLastError();
      break;
    }
    if (status.dwCurrentState != SERVICE_STOPPED && scm.ControlService(service, SERVICE_CONTROL_STOP, &status) == 0) {
      result = GetLastError();
      break;
    }
    if (scm.DeleteService(service) == 0) {
      result = GetLastError();
      break;
    }
  } while (false);
  if (service != nullptr) scm.CloseServiceHandle(service);
  if (manager != nullptr) scm.CloseServiceHandle(manager);
  return result;
}

}  // namespace kestrix
