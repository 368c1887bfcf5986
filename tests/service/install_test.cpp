// Installation and removal against an injected service manager, the firewall's command lines for each Windows
// version, and the real program's "I" and "U" with a stand-in for the firewall's tool on its PATH.
#include "service/Install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "channel/ChannelNames.h"
#include "common/ServiceKey.h"
#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/KernelObjects.h"
#include "platform/LastError.h"
#include "platform/OsVersion.h"
#include "platform/Registry.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix {
namespace {

using namespace platform;

// Records the command lines it is given; starts nothing.
class RecordingRunner : public ProcessRunner {
 public:
  std::vector<std::u16string> lines;
  bool startable = true;
  int RunAndWait(const std::u16string& line) override {
    if (!startable) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    lines.push_back(line);
    return 1;
  }
};

// A service manager that keeps the registration as Windows' does (the service key with an unquoted
// REG_EXPAND_SZ ImagePath) and logs every call; faults are switched on per test.
class FakeServiceManager : public ServiceControlManager {
 public:
  std::vector<std::string> calls;
  bool installed = false;
  bool running = false;
  uint32_t createError = 0;
  uint32_t startError = 0;
  uint32_t stopError = 0;
  bool startMakesChannel = true;
  std::unique_ptr<Event> channel;

  SC_HANDLE OpenSCManagerW(const char16_t*, const char16_t*, uint32_t access) override {
    calls.push_back("OpenSCManager " + std::to_string(access));
    return Handle();
  }
  SC_HANDLE CreateServiceW(SC_HANDLE, const char16_t* name, const char16_t* display, uint32_t access, uint32_t type,
                           uint32_t start, uint32_t errorControl, const char16_t* path) override {
    std::ostringstream call;
    call << "CreateService " << ToUtf8(name) << " " << ToUtf8(display) << " " << std::hex << access << " " << type
         << " " << start << " " << errorControl << " " << ToUtf8(path);
    calls.push_back(call.str());
    if (installed) return Fail(ERROR_SERVICE_EXISTS);
    if (createError != 0) return Fail(createError);
    installed = true;
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, KEY_ALL_ACCESS, &key, nullptr);
    const std::u16string image(path);
    RegSetValueExW(key, u"ImagePath", REG_EXPAND_SZ, reinterpret_cast<const uint8_t*>(image.c_str()),
                   static_cast<uint32_t>((image.size() + 1) * 2));
    RegCloseKey(key);
    return Handle();
  }
  SC_HANDLE OpenServiceW(SC_HANDLE, const char16_t* name, uint32_t access) override {
    calls.push_back("OpenService " + ToUtf8(name) + " " + std::to_string(access));
    return installed ? Handle() : Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  }
  int StartServiceW(SC_HANDLE, uint32_t argc, const char16_t** argv) override {
    calls.push_back("StartService " + std::to_string(argc) + (argv == nullptr ? " null" : " args"));
    if (startError != 0) return FailInt(startError);
    running = true;
    uint32_t error = 0;
    if (startMakesChannel) channel = Event::Create(CommandEventName(), false, false, error);
    return 1;
  }
  int QueryServiceStatus(SC_HANDLE, SERVICE_STATUS* status) override {
    calls.push_back("QueryServiceStatus");
    *status = SERVICE_STATUS{0x10, running ? SERVICE_RUNNING : SERVICE_STOPPED, 0, 0, 0, 0, 0};
    return 1;
  }
  int ControlService(SC_HANDLE, uint32_t control, SERVICE_STATUS* status) override {
    calls.push_back("ControlService " + std::to_string(control));
    if (stopError != 0) return FailInt(stopError);
    running = false;
    *status = SERVICE_STATUS{0x10, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    return 1;
  }
  int DeleteService(SC_HANDLE) override {
    calls.push_back("DeleteService");
    installed = false;
    return 1;
  }
  int CloseServiceHandle(SC_HANDLE) override {
    calls.push_back("CloseServiceHandle");
    return 1;
  }

 private:
  SC_HANDLE Handle() { return reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(calls.size())); }
  static SC_HANDLE Fail(uint32_t error) {
    SetLastError(error);
    return nullptr;
  }
  static int FailInt(uint32_t error) {
    SetLastError(error);
    return 0;
  }
};

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_platform.pServiceManager = &m_scm;
    m_platform.pRunner = &m_runner;
    m_platform.sleep = [this](uint32_t ms) { m_slept.push_back(ms); };
  }
  void TearDown() override { OverrideOsVersion(0, 0); }

  // A value of the service key: its type and exact bytes as text, or nothing when it is missing.
  bool Value(const char16_t* name, uint32_t* type, std::u16string* text) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    uint8_t data[1024];
    uint32_t size = sizeof data;
    const uint32_t rc = RegQueryValueExW(key, name, type, data, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    *text = std::u16string(reinterpret_cast<const char16_t*>(data), size / 2);
    return true;
  }

  test::ScopedRoot m_root;
  FakeServiceManager m_scm;
  RecordingRunner m_runner;
  std::vector<uint32_t> m_slept;
  InstallPlatform m_platform;
};

const std::u16string kPath = u"/opt/kestrix/KestrixSvc";

TEST_F(InstallTest, InstallRegistersQuotesStartsWaitsAndDescribes) {
  EXPECT_EQ(InstallService(kPath, m_platform), 0u);
  EXPECT_EQ(m_scm.calls, (std::vector<std::string>{
                             "OpenSCManager 2",
                             "CreateService KestrixSvc Flaxwing f01ff 10 2 1 /opt/kestrix/KestrixSvc",
                             "StartService 0 null", "CloseServiceHandle", "CloseServiceHandle"}));
  uint32_t type = 0;
  std::u16string text;
  ASSERT_TRUE(Value(u"ImagePath", &type, &text));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(text, u"\"" + kPath + u"\"");  // two characters more than the path, no terminator
  ASSERT_TRUE(Value(u"Description", &type, &text));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(text, u"ARVENNA Flaxwing");
  EXPECT_EQ(m_slept, std::vector<uint32_t>{1000});  // the first look comes after the first second
}

TEST_F(InstallTest, InstallFailuresStopWhereTheyHappen) {
  // Already installed: no quoting, no start, no description.
  m_scm.installed = true;
  EXPECT_EQ(InstallService(kPath, m_platform), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(m_scm.calls.back(), "CloseServiceHandle");
  EXPECT_EQ(std::count(m_scm.calls.begin(), m_scm.calls.end(), "StartService 0 null"), 0);
  uint32_t type = 0;
  std::u16string text;
  EXPECT_FALSE(Value(u"Description", &type, &text));

  // Registered but not started: the quoted path stays, no description, no wait.
  m_scm = FakeServiceManager();
  m_scm.startError = ERROR_PROCESS_ABORTED;
  EXPECT_EQ(InstallService(kPath, m_platform), ERROR_PROCESS_ABORTED);
  ASSERT_TRUE(Value(u"ImagePath", &type, &text));
  EXPECT_EQ(text, u"\"" + kPath + u"\"");
  EXPECT_FALSE(Value(u"Description", &type, &text));
  EXPECT_TRUE(m_slept.empty());
}

TEST_F(InstallTest, ChannelThatNeverAppearsIsWaitedForTwentySeconds) {
  m_scm.startMakesChannel = false;
  EXPECT_EQ(InstallService(kPath, m_platform), 0u);
  EXPECT_EQ(m_slept, std::vector<uint32_t>(20, 1000));
  uint32_t type = 0;
  std::u16string text;
  EXPECT_TRUE(Value(u"Description", &type, &text));  // written all the same
  EXPECT_EQ(WaitForServiceReady(CommandEventName(), m_platform), 4);
}

TEST_F(InstallTest, RemoveStopsARunningServiceFirst) {
  m_scm.installed = m_scm.running = true;
  EXPECT_EQ(RemoveService(m_platform), 0u);
  EXPECT_EQ(m_scm.calls, (std::vector<std::string>{"OpenSCManager 2", "OpenService KestrixSvc 983551",
                                                   "QueryServiceStatus", "ControlService 1", "DeleteService",
                                                   "CloseServiceHandle", "CloseServiceHandle"}));
  // Stopped already: deleted at once.
  m_scm.calls.clear();
  m_scm.installed = true;
  EXPECT_EQ(RemoveService(m_platform), 0u);
  EXPECT_EQ(std::count(m_scm.calls.begin(), m_scm.calls.end(), "ControlService 1"), 0);
  // Not installed; and a refused stop leaves the service in place.
  EXPECT_EQ(RemoveService(m_platform), ERROR_SERVICE_DOES_NOT_EXIST);
  m_scm.installed = m_scm.running = true;
  m_scm.stopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  EXPECT_EQ(RemoveService(m_platform), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_TRUE(m_scm.installed);
}

TEST_F(InstallTest, WithoutSystemdTheServiceManagerCannotBeReached) {
  InstallPlatform host;  // the host's service manager: no systemd here, and never under a test root
  host.pRunner = &m_runner;
  host.sleep = m_platform.sleep;
  EXPECT_EQ(InstallService(kPath, host), RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(RemoveService(host), RPC_S_SERVER_UNAVAILABLE);
  EXPECT_TRUE(m_slept.empty());
}

struct FirewallCase {
  uint32_t major;
  uint32_t minor;
  const char16_t* addService;
  const char16_t* deleteService;
};

TEST_F(InstallTest, FirewallCommandLinesByWindowsVersion) {
  const FirewallCase cases[] = {
      {10, 0,
       u"netsh advfirewall firewall add rule name=\"KestrixSvc\" dir=in action=allow "
       u"program=\"/opt/kestrix/KestrixSvc.exe\" enable=yes",
       u"netsh advfirewall firewall delete rule name=\"KestrixSvc\""},
      {6, 0,
       u"netsh advfirewall firewall add rule name=\"KestrixSvc\" dir=in action=allow "
       u"program=\"/opt/kestrix/KestrixSvc.exe\" enable=yes",
       u"netsh advfirewall firewall delete rule name=\"KestrixSvc\""},
      {5, 1, u"netsh firewall add allowedprogram program=\"/opt/kestrix/KestrixSvc.exe\"  name=KestrixSvc",
       u"netsh firewall delete allowedprogram program=\"/opt/kestrix/KestrixSvc.exe\""},
      {5, 2, nullptr, nullptr},
      {5, 0, nullptr, nullptr},
      {4, 0, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    OverrideOsVersion(c.major, c.minor);
    m_runner.lines.clear();
    const int added = AddFirewallRule(u"/opt/kestrix/KestrixSvc.exe", m_platform);
    const int removed = RemoveFirewallRule(u"/opt/kestrix/KestrixSvc.exe", m_platform);
    const std::string version = std::to_string(c.major) + "." + std::to_string(c.minor);
    if (c.addService == nullptr) {
      EXPECT_EQ(added, 0) << version;
      EXPECT_EQ(removed, 0) << version;
      EXPECT_TRUE(m_runner.lines.empty()) << version;
    } else {
      EXPECT_EQ(added, 1) << version;
      EXPECT_EQ(removed, 1) << version;
      EXPECT_EQ(m_runner.lines, (std::vector<std::u16string>{c.addService, c.deleteService})) << version;
    }
  }
}

TEST_F(InstallTest, FirewallCommandThatWouldNotFitOrCannotStartIsNotRun) {
  OverrideOsVersion(10, 0);
  const std::u16string longPath = u"/" + std::u16string(440, u'k') + u".exe";  // the add line needs 520+
  EXPECT_EQ(AddFirewallRule(longPath, m_platform), 0);
  EXPECT_TRUE(m_runner.lines.empty());
  EXPECT_EQ(RemoveFirewallRule(longPath, m_platform), 1);  // the delete line names only the base name: it fits
  EXPECT_EQ(m_runner.lines.size(), 1u);
  m_runner.startable = false;
  EXPECT_EQ(AddFirewallRule(kPath, m_platform), 0);
}

// The real program with "I", "U" and other first characters; a stand-in netsh on PATH logs its arguments.
TEST_F(InstallTest, ProgramInstallsAndRemovesByTheFirstCharacterOnly) {
  const auto bin = m_root.Path() / "bin";
  std::filesystem::create_directories(bin);
  const auto log = m_root.Path() / "netsh.log";
  std::ofstream(bin / "netsh") << "#!/bin/sh\necho \"$*\" >> " << log.string() << "\n";
  ::chmod((bin / "netsh").c_str(), 0755);
  const std::string path = std::string(std::getenv("PATH"));
  ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
  auto run = [&](const std::string& version, const std::string& argument) {
    std::filesystem::remove(log);
    ::setenv("KESTRIX_OS_VERSION", version.c_str(), 1);
    EXPECT_EQ(test::Run(KESTRIX_SVC, {argument}), 0) << argument;
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const std::string svc = KESTRIX_SVC;
  const std::string client = svc.substr(0, svc.find_last_of('/') + 1) + "Kestrix.exe";
  // The service manager cannot be reached here: installation fails, and the rules are added all the same.
  EXPECT_EQ(run("10.0", "Install"),
            "advfirewall firewall add rule name=KestrixSvc dir=in action=allow program=" + svc + " enable=yes\n" +
                "advfirewall firewall add rule name=Kestrix dir=in action=allow program=" + client + " enable=yes\n");
  EXPECT_EQ(run("5.1", "U"), "firewall delete allowedprogram program=" + svc + "\n" +
                                 "firewall delete allowedprogram program=" + client + "\n");
  EXPECT_EQ(run("5.2", "I"), "");
  EXPECT_EQ(run("10.0", "i"), "");
  EXPECT_EQ(run("10.0", "/I"), "");
  ::setenv("PATH", path.c_str(), 1);
  ::unsetenv("KESTRIX_OS_VERSION");
}

}  // namespace
}  // namespace kestrix
