// Boot-time scheduling end to end: the real KestrixSvc started as systemd starts it, driven by kestrixctl.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/ServiceKey.h"
#include "common/Win32Error.h"
#include "platform/Registry.h"
#include "tests/fixture/ServiceProcess.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix {
namespace {

using namespace platform;

class BootScheduleEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, KEY_ALL_ACCESS, &key, nullptr), 0u);
    RegCloseKey(key);
  }

  static std::vector<uint8_t> Read(const char16_t* keyPath, const char16_t* name, uint32_t* type = nullptr) {
    HKEY key = nullptr;
    std::vector<uint8_t> data;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return data;
    uint32_t size = 0;
    if (RegQueryValueExW(key, name, type, nullptr, &size) == ERROR_SUCCESS) {
      data.resize(size);
      RegQueryValueExW(key, name, type, data.data(), &size);
    } else {
      data.push_back(0xEE);  // a marker no stored value of these tests has: the value is missing
    }
    RegCloseKey(key);
    return data;
  }
  static bool Missing(const char16_t* name) { return Read(kServiceKeyPath, name) == std::vector<uint8_t>{0xEE}; }

  static void Write(const char16_t* keyPath, const char16_t* name, uint32_t type, const void* data, uint32_t size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key), 0u);
    ASSERT_EQ(RegSetValueExW(key, name, type, static_cast<const uint8_t*>(data), size), 0u);
    RegCloseKey(key);
  }
  static void WriteText(const char16_t* keyPath, const char16_t* name, uint32_t type, std::u16string_view text) {
    Write(keyPath, name, type, text.data(), static_cast<uint32_t>(text.size() * 2));
  }

  static std::u16string BootExecute() {
    const std::vector<uint8_t> bytes = Read(kSessionManagerKeyPath, u"BootExecute");
    return std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
  }

  test::ScopedRoot m_root;
};

TEST_F(BootScheduleEndToEndTest, ScheduleIsUndoneByTheNextStartOfTheService) {
  {
    test::ServiceProcess service;
    ASSERT_TRUE(service.Ready());
    std::string out;
    ASSERT_EQ(test::Run(KESTRIXCTL, {"schedule", "--app", "kxboot.exe /fw", "--serial", "WD-123", "--current-rev",
                                     "SC60", "--new-rev", "SC61", "--model", "ST1000DM010", "--fw-file",
                                     "/var/fw/SC61.bin"},
                        &out),
              0)
        << out;
    EXPECT_EQ(BootExecute(), std::u16string(u"autocheck autochk *\0kxboot.exe /fw\0\0", 36));
    uint32_t type = 0;
    const auto model = Read(kServiceKeyPath, u"FW_Model", &type);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(model.size(), 22u);  // 11 characters, no terminator
    EXPECT_EQ(service.Stop(), 0);
  }
  {
    test::ServiceProcess restarted;
    ASSERT_TRUE(restarted.Ready());
  }
  EXPECT_EQ(BootExecute(), std::u16string(u"autocheck autochk *\0\0", 21));
  for (const char16_t* name : {u"FW_NtApp", u"FW_Serial", u"FW_CurRev", u"FW_NewRev", u"FW_Model", u"FW_FWFile"}) {
    EXPECT_TRUE(Missing(name)) << static_cast<int>(name[3]);
  }
}

TEST_F(BootScheduleEndToEndTest, ClearDeletesTheStoredResult) {
  const uint32_t one = 1;
  const uint32_t zero = 0;
  Write(kServiceKeyPath, u"FW_Result", REG_DWORD, &one, 4);
  Write(kServiceKeyPath, u"FW_Error", REG_DWORD, &zero, 4);
  WriteText(kServiceKeyPath, u"FW_UpdRev", REG_SZ, u"SC61");
  WriteText(kServiceKeyPath, u"Language", REG_SZ, u"kept");
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());
  std::string out;
  EXPECT_EQ(test::Run(KESTRIXCTL, {"clear"}, &out), 0) << out;
  EXPECT_TRUE(Missing(u"FW_Result"));
  EXPECT_TRUE(Missing(u"FW_Error"));
  EXPECT_TRUE(Missing(u"FW_UpdRev"));
  EXPECT_FALSE(Missing(u"Language"));
  EXPECT_EQ(test::Run(KESTRIXCTL, {"clear"}, &out), 0);  // nothing left to delete: still answered 0
}

TEST_F(BootScheduleEndToEndTest, ShutdownRequestedByTheBootProgramSwitchesOffWithoutStarting) {
  const uint32_t one = 1;
  Write(kServiceKeyPath, u"FW_Shutdown", REG_DWORD, &one, 4);
  WriteText(kServiceKeyPath, u"FW_NtApp", REG_SZ, u"x.exe /q");
  WriteText(kSessionManagerKeyPath, u"BootExecute", REG_MULTI_SZ,
            std::u16string_view(u"autocheck autochk *\0X.EXE /Q\0x.exe /q /r\0\0", 42));

  test::ServiceProcess service(false);
  EXPECT_EQ(service.WaitExit(), 0);
  EXPECT_TRUE(service.Reports().empty()) << "the service reported a status";
  EXPECT_EQ(BootExecute(), std::u16string(u"autocheck autochk *\0x.exe /q /r\0\0", 33));
  EXPECT_TRUE(Missing(u"FW_Shutdown"));
  EXPECT_TRUE(Missing(u"FW_NtApp"));

  std::ifstream requests(m_root.Path() / "var/lib/kestrix/power-requests");
  std::stringstream text;
  text << requests.rdbuf();
  EXPECT_EQ(text.str(), "poweroff flags=5 reason=0\n");
}

}  // namespace
}  // namespace kestrix
