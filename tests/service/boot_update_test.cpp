// Boot-time update scheduling against the real registry store: BootExecute edited byte for byte, the scheduling
// values written and removed, the stored result cleared, commands 242 and 243 through the worker, and the
// power interface (privilege and the recorded, never executed, shutdown).
#include "service/BootUpdate.h"

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "channel/ChannelNames.h"
#include "channel/CommandBlock.h"
#include "common/ServiceKey.h"
#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Power.h"
#include "platform/Registry.h"
#include "service/CommandWorker.h"
#include "service/ServiceCommandHandlers.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::HKEY;

/// The bytes of a UTF-16 literal without the terminator the compiler adds: List(u"A\0\0") is 6 bytes.
template <std::size_t N>
Bytes List(const char16_t (&text)[N]) {
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  return Bytes(p, p + (N - 1) * sizeof(char16_t));
}

Bytes Text(std::u16string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  return Bytes(p, p + text.size() * sizeof(char16_t));
}

Bytes Dword(uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

/// Readable form of a value for failure messages: characters, \0 for zeros, a trailing odd byte in hex.
std::string Show(const std::optional<Bytes>& bytes) {
  if (!bytes) return "(missing)";
  std::ostringstream out;
  out << bytes->size() << " bytes \"";
  for (std::size_t i = 0; i + 1 < bytes->size(); i += 2) {
    const char16_t c = static_cast<char16_t>((*bytes)[i] | (*bytes)[i + 1] << 8);
    if (c == 0) {
      out << "\\0";
    } else {
      out << ToUtf8(std::u16string(1, c));
    }
  }
  if (bytes->size() % 2 != 0) out << "\" + 0x" << std::hex << int(bytes->back());
  else out << '"';
  return out.str();
}

void SetValue(const char16_t* keyPath, const char16_t* name, uint32_t type, const Bytes& data) {
  HKEY key = nullptr;
  ASSERT_EQ(platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, keyPath, 0, platform::KEY_ALL_ACCESS, &key), 0u);
  EXPECT_EQ(platform::RegSetValueExW(key, name, type, data.data(), static_cast<uint32_t>(data.size())), 0u);
  platform::RegCloseKey(key);
}

void DeleteValue(const char16_t* keyPath, const char16_t* name) {
  HKEY key = nullptr;
  ASSERT_EQ(platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, keyPath, 0, platform::KEY_ALL_ACCESS, &key), 0u);
  platform::RegDeleteValueW(key, name);
  platform::RegCloseKey(key);
}

/// The value's exact bytes, or nothing when it (or its key) is missing; *type receives its type.
std::optional<Bytes> GetValue(const char16_t* keyPath, const char16_t* name, uint32_t* type = nullptr) {
  HKEY key = nullptr;
  if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, keyPath, 0, platform::KEY_READ, &key) != 0) {
    return std::nullopt;
  }
  uint32_t size = 0;
  std::optional<Bytes> out;
  if (platform::RegQueryValueExW(key, name, type, nullptr, &size) == 0) {
    Bytes data(size + 1);
    if (platform::RegQueryValueExW(key, name, type, data.data(), &size) == 0) {
      data.resize(size);
      out = data;
    }
  }
  platform::RegCloseKey(key);
  return out;
}

void CreateServiceKey() {
  HKEY key = nullptr;
  ASSERT_EQ(platform::RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, kServiceKeyPath, platform::KEY_ALL_ACCESS, &key,
                                      nullptr),
            0u);
  platform::RegCloseKey(key);
}

std::optional<Bytes> BootExecute(uint32_t* type = nullptr) {
  return GetValue(kSessionManagerKeyPath, u"BootExecute", type);
}

void SetBootExecute(const std::optional<Bytes>& list) {
  if (list) {
    SetValue(kSessionManagerKeyPath, u"BootExecute", platform::REG_MULTI_SZ, *list);
  } else {
    DeleteValue(kSessionManagerKeyPath, u"BootExecute");
  }
}

constexpr const char16_t* kScheduleNames[] = {u"FW_NtApp", u"FW_Serial", u"FW_CurRev",
                                              u"FW_NewRev", u"FW_Model",  u"FW_FWFile"};

ScheduleBootUpdateBlock MakeBlock(std::u16string_view app) {
  ScheduleBootUpdateBlock b;
  std::memset(&b, 0, sizeof b);
  b.hdr.dwCommand = CMD_SCHEDULE_BOOT_UPDATE;
  b.hdr.dwSize = sizeof b;
  SetFieldText(b.szBootApp, 261, app);
  SetFieldText(b.szBootSerial, 21, u"WD-WCC4N0123456");
  SetFieldText(b.szBootCurRev, 9, u"80.00A80");
  SetFieldText(b.szBootNewRev, 9, u"82.00A82");
  SetFieldText(b.szBootModel, 41, u"WDC WD10EZEX-08WN4A0");
  SetFieldText(b.szBootFWFile, 261, u"\\SystemRoot\\fw\\wd82.bin");
  return b;
}

class BootUpdateTest : public ::testing::Test {
 protected:
  test::ScopedRoot m_root;
};

// ---- BootExecute ---------------------------------------------------------------------------------------------

struct ListCase {
  const char* what;
  std::optional<Bytes> before;  // nullopt: the value does not exist
  std::u16string entry;
  int result;
  std::optional<Bytes> after;
};

Bytes OddBytes() {
  Bytes b = List(u"A\0\0");
  b.push_back(0x41);
  return b;
}

void RunListCases(const std::vector<ListCase>& cases, int (*operation)(std::u16string_view)) {
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetBootExecute(c.before);
    EXPECT_EQ(operation(c.entry), c.result);
    uint32_t type = 0;
    const auto after = BootExecute(&type);
    EXPECT_EQ(after, c.after) << "got " << Show(after) << ", want " << Show(c.after);
    if (after && c.result == 1) {
      EXPECT_EQ(type, platform::REG_MULTI_SZ);
    }
  }
}

TEST_F(BootUpdateTest, AddBootExecuteAppendsAfterTheEntriesBeforeTheFirstEmptyString) {
  // The store starts with the list as the OS ships it.
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0\0"));
  const std::vector<ListCase> cases = {
      {"as shipped", List(u"autocheck autochk *\0\0"), u"B", 1, List(u"autocheck autochk *\0B\0\0")},
      {"missing value", std::nullopt, u"B", 1, List(u"B\0\0")},
      {"after A", List(u"A\0\0"), u"B", 1, List(u"A\0B\0\0")},
      {"appended twice", List(u"A\0B\0\0"), u"B", 1, List(u"A\0B\0B\0\0")},
      {"empty entry: one more zero", List(u"A\0\0"), u"", 1, List(u"A\0\0\0")},
      {"after an empty entry", List(u"A\0\0\0"), u"B", 1, List(u"A\0B\0\0")},
      {"what follows the first empty string is dropped", List(u"A\0\0C\0\0"), u"B", 1, List(u"A\0B\0\0")},
      {"zero-length value", Bytes{}, u"B", 1, List(u"B\0\0")},
      {"list of one zero", List(u"\0"), u"B", 1, List(u"B\0\0")},
      {"no final zero", List(u"A\0B"), u"C", 1, List(u"A\0B\0C\0\0")},
      {"no zero at all", List(u"A"), u"C", 1, List(u"A\0C\0\0")},
      {"entry holding a zero ends there", List(u"A\0\0"), std::u16string(u"B\0C", 3), 1, List(u"A\0B\0\0")},
      {"odd byte count cannot be read", OddBytes(), u"B", 0, OddBytes()},
  };
  RunListCases(cases, &AddBootExecute);
}

TEST_F(BootUpdateTest, RemoveBootExecuteDropsWholeStringsEqualUpToAsciiCase) {
  const std::vector<ListCase> cases = {
      {"missing value", std::nullopt, u"x.exe /q", 0, std::nullopt},
      {"after the shipped entry", List(u"autocheck autochk *\0x.exe /q\0\0"), u"x.exe /q", 1,
       List(u"autocheck autochk *\0\0")},
      {"other case removed, longer kept", List(u"A\0X.EXE /Q\0x.exe /q /r\0x.exe /q\0\0"), u"x.exe /q", 1,
       List(u"A\0x.exe /q /r\0\0")},
      {"prefix, suffix and inner text kept", List(u"x.exe\0/q\0.exe /\0\0"), u"x.exe /q", 1,
       List(u"x.exe\0/q\0.exe /\0\0")},
      {"every copy removed", List(u"B\0A\0b\0\0"), u"B", 1, List(u"A\0\0")},
      {"only entry removed: one zero", List(u"x.exe /q\0\0"), u"X.exe /Q", 1, List(u"\0")},
      {"case folding is A to Z only", List(u"\u00C9\0\0"), u"\u00E9", 1, List(u"\u00C9\0\0")},
      {"empty entry removes nothing, extra zeros go", List(u"A\0\0\0"), u"", 1, List(u"A\0\0")},
      {"zero-length value", Bytes{}, u"A", 1, List(u"\0")},
      {"no final zero, all kept", List(u"A\0B"), u"C", 1, List(u"A\0B\0\0")},
      {"no final zero, last removed", List(u"A\0B"), u"B", 1, List(u"A\0\0")},
      {"no zero at all", List(u"A"), u"C", 1, List(u"A\0\0")},
      {"odd byte count cannot be read", OddBytes(), u"A", 0, OddBytes()},
  };
  RunListCases(cases, &RemoveBootExecute);
}

TEST_F(BootUpdateTest, WithoutTheSessionManagerKeyNothingIsWritten) {
  ASSERT_EQ(platform::RegDeleteKeyW(platform::HKEY_LOCAL_MACHINE, kSessionManagerKeyPath), 0u);
  EXPECT_EQ(AddBootExecute(u"B"), 0);
  EXPECT_EQ(RemoveBootExecute(u"B"), 0);
  HKEY key = nullptr;
  EXPECT_EQ(platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, kSessionManagerKeyPath, 0, platform::KEY_READ, &key),
            ERROR_FILE_NOT_FOUND)
      << "the key was created";
}

// ---- Command 242 ---------------------------------------------------------------------------------------------

/// Makes every write of the value `name` fail inside the store, as a failing disk would: a trigger in the
/// store's own database (table `vals`, names kept upper-cased in `fold`).
void FailWritesOf(const std::u16string& name) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(platform::RegistryFile().c_str(), &db), SQLITE_OK);
  std::string folded = ToUtf8(name);
  for (char& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string sql = "CREATE TRIGGER fail_write BEFORE INSERT ON vals WHEN NEW.fold = '" + folded +
                          "' BEGIN SELECT RAISE(ABORT, 'injected'); END;";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST_F(BootUpdateTest, ScheduleWritesSixTextsWithoutTerminatorThenAppends) {
  CreateServiceKey();
  SetBootExecute(List(u"A\0\0"));
  ScheduleBootUpdateBlock block = MakeBlock(u"\\??\\C:\\kx\\kxboot.exe /q");
  // Text after a field's terminator is not part of it.
  SetFieldText(block.szBootCurRev, 9, u"A80");
  block.szBootCurRev[5] = u'Z';
  ScheduleBootUpdate(block);

  const std::u16string want[] = {u"\\??\\C:\\kx\\kxboot.exe /q", u"WD-WCC4N0123456", u"A80", u"82.00A82",
                                 u"WDC WD10EZEX-08WN4A0", u"\\SystemRoot\\fw\\wd82.bin"};
  for (std::size_t i = 0; i < 6; ++i) {
    uint32_t type = 0;
    const auto value = GetValue(kServiceKeyPath, kScheduleNames[i], &type);
    EXPECT_EQ(value, Text(want[i])) << ToUtf8(kScheduleNames[i]) << ": " << Show(value);
    EXPECT_EQ(type, platform::REG_SZ);
  }
  EXPECT_EQ(BootExecute(), List(u"A\0\\??\\C:\\kx\\kxboot.exe /q\0\0")) << Show(BootExecute());
}

TEST_F(BootUpdateTest, ScheduleStopsAtTheFirstFailingWriteAndLeavesBootExecute) {
  // Each row fails one write: exactly the values before it in the order are written.
  for (std::size_t failing = 0; failing < 6; ++failing) {
    test::ScopedRoot root;
    CreateServiceKey();
    FailWritesOf(kScheduleNames[failing]);
    ScheduleBootUpdate(MakeBlock(u"kxboot"));
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(GetValue(kServiceKeyPath, kScheduleNames[i]).has_value(), i < failing)
          << ToUtf8(kScheduleNames[i]) << " with the write of " << ToUtf8(kScheduleNames[failing]) << " failing";
    }
    EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0\0"));
  }
}

TEST_F(BootUpdateTest, ScheduleWithoutTheServiceKeyChangesNothing) {
  ScheduleBootUpdate(MakeBlock(u"kxboot"));
  HKEY key = nullptr;
  EXPECT_EQ(platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, platform::KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0\0"));
}

TEST_F(BootUpdateTest, FieldsFilledToTheBrim) {
  CreateServiceKey();
  // A serial with no terminator in its 21 characters is read to the field's end and no further.
  ScheduleBootUpdateBlock block = MakeBlock(u"kxboot");
  for (std::size_t i = 0; i < 21; ++i) block.szBootSerial[i] = u'S';
  ScheduleBootUpdate(block);
  EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_Serial"), Text(std::u16string(21, u'S')));
  EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_CurRev"), Text(u"80.00A80"));

  // The longest command line the service start can read back (260 characters) is scheduled and undone; one
  // that fills all 261 characters could never be taken out again, so it is refused.
  const std::u16string longest(260, u'p');
  ScheduleBootUpdate(MakeBlock(longest));
  EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_NtApp"), Text(longest));
  uint32_t shutdown = 7;
  EXPECT_EQ(FinishBootUpdate(&shutdown), 1);
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0kxboot\0\0")) << Show(BootExecute());

  block = MakeBlock(u"");
  for (std::size_t i = 0; i < 261; ++i) block.szBootApp[i] = u'p';
  ScheduleBootUpdate(block);
  for (const char16_t* name : kScheduleNames) EXPECT_FALSE(GetValue(kServiceKeyPath, name)) << ToUtf8(name);
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0kxboot\0\0"));
}

TEST_F(BootUpdateTest, EmptyBootAppAddsOneZeroThatTheNextStartLeaves) {
  CreateServiceKey();
  ScheduleBootUpdate(MakeBlock(u""));
  uint32_t type = 0;
  EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_NtApp", &type), Bytes{});
  EXPECT_EQ(type, platform::REG_SZ);
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0\0\0"));
  uint32_t shutdown = 7;
  EXPECT_EQ(FinishBootUpdate(&shutdown), 1);
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0\0\0"));
  EXPECT_FALSE(GetValue(kServiceKeyPath, u"FW_NtApp"));
}

TEST_F(BootUpdateTest, ScheduledTwiceTheNextStartRemovesBoth) {
  CreateServiceKey();
  ScheduleBootUpdate(MakeBlock(u"kxboot /q"));
  ScheduleBootUpdate(MakeBlock(u"kxboot /q"));
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0kxboot /q\0kxboot /q\0\0"));
  uint32_t shutdown = 7;
  EXPECT_EQ(FinishBootUpdate(&shutdown), 1);
  EXPECT_EQ(shutdown, 0u);
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0\0"));
}

// ---- Service start ---------------------------------------------------------------------------------------------

constexpr const char16_t* kFinishNames[] = {u"FW_NtApp",  u"FW_Serial", u"FW_CurRev",  u"FW_NewRev",
                                            u"FW_Model",  u"FW_FWFile", u"FW_Shutdown"};

TEST_F(BootUpdateTest, FinishHandsBackShutdownAndDeletesTheSevenValues) {
  struct ShutdownCase {
    const char* what;
    std::optional<Bytes> stored;
    uint32_t type;
    uint32_t want;
  };
  const ShutdownCase cases[] = {
      {"missing", std::nullopt, 0, 0},
      {"1", Dword(1), platform::REG_DWORD, 1},
      {"0", Dword(0), platform::REG_DWORD, 0},
      {"2", Dword(2), platform::REG_DWORD, 2},
      {"1 as binary: type not checked", Dword(1), platform::REG_BINARY, 1},
      {"two bytes", Bytes{1, 0}, platform::REG_BINARY, 1},
      {"eight bytes cannot be read", Bytes{1, 0, 0, 0, 0, 0, 0, 0}, platform::REG_QWORD, 0},
  };
  CreateServiceKey();
  for (const ShutdownCase& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char16_t* name : kScheduleNames) SetValue(kServiceKeyPath, name, platform::REG_SZ, Text(u"v"));
    if (c.stored) SetValue(kServiceKeyPath, u"FW_Shutdown", c.type, *c.stored);
    SetValue(kServiceKeyPath, u"FW_Result", platform::REG_DWORD, Dword(1));
    SetValue(kServiceKeyPath, u"Language", platform::REG_DWORD, Dword(7));

    uint32_t shutdown = 99;
    EXPECT_EQ(FinishBootUpdate(&shutdown), 1);
    EXPECT_EQ(shutdown, c.want);
    for (const char16_t* name : kFinishNames) EXPECT_FALSE(GetValue(kServiceKeyPath, name)) << ToUtf8(name);
    EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_Result"), Dword(1));
    EXPECT_EQ(GetValue(kServiceKeyPath, u"Language"), Dword(7));
  }
}

TEST_F(BootUpdateTest, FinishRemovesTheNamedEntryOnly) {
  struct AppCase {
    const char* what;
    std::optional<Bytes> app;
    Bytes after;
  };
  const Bytes before = List(u"autocheck autochk *\0X.EXE /Q\0x.exe /q /r\0\0");
  const AppCase cases[] = {
      {"named", Text(u"x.exe /q"), List(u"autocheck autochk *\0x.exe /q /r\0\0")},
      {"stored with its terminator", List(u"x.exe /q\0"), List(u"autocheck autochk *\0x.exe /q /r\0\0")},
      {"missing", std::nullopt, before},
      {"empty", Bytes{}, before},
  };
  CreateServiceKey();
  for (const AppCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetBootExecute(before);
    if (c.app) SetValue(kServiceKeyPath, u"FW_NtApp", platform::REG_SZ, *c.app);
    SetValue(kServiceKeyPath, u"FW_Serial", platform::REG_SZ, Text(u"S1"));
    uint32_t shutdown = 99;
    EXPECT_EQ(FinishBootUpdate(&shutdown), 1);
    EXPECT_EQ(shutdown, 0u);
    EXPECT_EQ(BootExecute(), c.after) << Show(BootExecute());
    EXPECT_FALSE(GetValue(kServiceKeyPath, u"FW_NtApp"));
    EXPECT_FALSE(GetValue(kServiceKeyPath, u"FW_Serial"));
  }
  // Nowhere to put the shutdown value is no reason to fail.
  EXPECT_EQ(FinishBootUpdate(nullptr), 1);
}

TEST_F(BootUpdateTest, FinishWithoutTheServiceKeyTouchesNothing) {
  SetBootExecute(List(u"A\0x.exe\0\0"));
  uint32_t shutdown = 99;
  EXPECT_EQ(FinishBootUpdate(&shutdown), 0);
  EXPECT_EQ(shutdown, 0u);
  EXPECT_EQ(BootExecute(), List(u"A\0x.exe\0\0"));
}

// ---- Command 243 ---------------------------------------------------------------------------------------------

TEST_F(BootUpdateTest, ClearUpdateResultDeletesTheThreeResultValuesOnly) {
  EXPECT_EQ(ClearUpdateResult(), 0) << "no service key";
  CreateServiceKey();
  SetValue(kServiceKeyPath, u"FW_Result", platform::REG_DWORD, Dword(1));
  SetValue(kServiceKeyPath, u"FW_Error", platform::REG_DWORD, Dword(6003));
  SetValue(kServiceKeyPath, u"FW_UpdRev", platform::REG_SZ, Text(u"82.00A82"));
  SetValue(kServiceKeyPath, u"FW_NtApp", platform::REG_SZ, Text(u"kxboot"));
  SetValue(kServiceKeyPath, u"Language", platform::REG_DWORD, Dword(6));
  EXPECT_EQ(ClearUpdateResult(), 1);
  for (const char16_t* name : {u"FW_Result", u"FW_Error", u"FW_UpdRev"}) {
    EXPECT_FALSE(GetValue(kServiceKeyPath, name)) << ToUtf8(name);
  }
  EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_NtApp"), Text(u"kxboot"));
  EXPECT_EQ(GetValue(kServiceKeyPath, u"Language"), Dword(6));
  // Missing ones are passed over; only FW_Error present is still deleted.
  SetValue(kServiceKeyPath, u"FW_Error", platform::REG_DWORD, Dword(6003));
  EXPECT_EQ(ClearUpdateResult(), 1);
  EXPECT_FALSE(GetValue(kServiceKeyPath, u"FW_Error"));
  EXPECT_EQ(ClearUpdateResult(), 1);
}

// ---- Through the worker ----------------------------------------------------------------------------------------

TEST_F(BootUpdateTest, CommandsThroughTheWorkerReachTheRegistry) {
  uint32_t error = 0;
  auto commandEvent = platform::Event::Create(CommandEventName(), false, false, error);
  auto section = platform::Section::Create(SharedBlockName(), kSharedBlockSize, error);
  auto endEvent = platform::Event::Create(EndEventName(), false, false, error);
  ASSERT_TRUE(commandEvent && section && endEvent);
  std::atomic<int32_t> stop{0};
  SelfUpdateInfo selfUpdate{};
  ServiceCommandHandlers handlers;
  WorkerState state;
  CommandWorkerContext context;
  context.pStopWorker = &stop;
  context.pCommandEvent = commandEvent.get();
  context.pSharedBlock = section.get();
  context.pSelfUpdate = &selfUpdate;
  context.pHandlers = &handlers;
  auto run = [&](const void* block, std::size_t size) {
    {
      auto view = section->MapView(error);
      std::memcpy(view->Data(), block, size);
    }
    commandEvent->Set();
    HandleOneCommand(context, state);
    uint32_t status = 99;
    auto view = section->MapView(error);
    std::memcpy(&status, static_cast<const uint8_t*>(view->Data()) + 4, 4);
    return status;
  };

  CreateServiceKey();
  const ScheduleBootUpdateBlock schedule = MakeBlock(u"kxboot /q");
  EXPECT_EQ(run(&schedule, sizeof schedule), 0u);
  EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_NtApp"), Text(u"kxboot /q"));
  EXPECT_EQ(GetValue(kServiceKeyPath, u"FW_FWFile"), Text(u"\\SystemRoot\\fw\\wd82.bin"));
  EXPECT_EQ(BootExecute(), List(u"autocheck autochk *\0kxboot /q\0\0"));

  SetValue(kServiceKeyPath, u"FW_Result", platform::REG_DWORD, Dword(1));
  ClearResultBlock clear{};
  clear.hdr = {CMD_CLEAR_RESULT, 0, sizeof clear};
  EXPECT_EQ(run(&clear, sizeof clear), 0u);
  EXPECT_FALSE(GetValue(kServiceKeyPath, u"FW_Result"));
}

// ---- Power -----------------------------------------------------------------------------------------------------

/// Runs `body` in a forked child (capabilities are the child's own to change) and returns its exit code, or
/// 128 + the signal that ended it.
int InChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// Takes CAP_SYS_BOOT out of the calling thread's effective set, and out of the permitted set too if asked.
bool DropBootCapability(bool permitted) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t bit = 1u << (CAP_SYS_BOOT % 32);
  data[CAP_SYS_BOOT / 32].effective &= ~bit;
  if (permitted) data[CAP_SYS_BOOT / 32].permitted &= ~bit;
  return ::syscall(SYS_capset, &header, data) == 0;
}

/// From here on the kernel kills this process if it tries to start another program or process.
bool ForbidNewProcesses() {
#if defined(__x86_64__)
  static sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 6, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 435 /* clone3 */, 5, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fork, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_vfork, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
#else
  return false;
#endif
}

std::string RequestLines() {
  std::ifstream in(platform::PowerRequestFile());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(BootUpdateTest, ShutdownPrivilegeFollowsTheBootCapability) {
  ASSERT_EQ(::geteuid(), 0u) << "the service runs as root";
  EXPECT_EQ(EnableShutdownPrivilege(), 1);
  EXPECT_EQ(platform::GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(platform::ShutdownPrivilegeEnabled());

  // Held but not enabled: enabling raises it again.
  EXPECT_EQ(InChild([] {
              if (!DropBootCapability(false) || platform::ShutdownPrivilegeEnabled()) return 10;
              if (EnableShutdownPrivilege() != 1 || platform::GetLastError() != ERROR_SUCCESS) return 11;
              return platform::ShutdownPrivilegeEnabled() ? 0 : 12;
            }),
            0);
  // Not held at all: enabling fails as for a token without the privilege, and the shutdown is refused
  // without a request being recorded.
  EXPECT_EQ(InChild([] {
              if (!DropBootCapability(true)) return 10;
              if (EnableShutdownPrivilege() != 0 || platform::GetLastError() != platform::ERROR_NOT_ALL_ASSIGNED) {
                return 11;
              }
              if (platform::ExitWindowsEx(platform::EWX_SHUTDOWN | platform::EWX_FORCE, 0)) return 12;
              return platform::GetLastError() == platform::ERROR_PRIVILEGE_NOT_HELD ? 0 : 13;
            }),
            0);
  EXPECT_EQ(RequestLines(), "");
}

TEST_F(BootUpdateTest, ShutdownUnderATestRootIsRecordedAndStartsNothing) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the process filter is written for x86-64";
#endif
  // The child dies by SIGSYS (128 + 31) if ExitWindowsEx tries to start systemctl or anything else.
  EXPECT_EQ(InChild([] {
              if (!ForbidNewProcesses()) return 10;
              if (!platform::ExitWindowsEx(platform::EWX_SHUTDOWN | platform::EWX_FORCE, 0)) return 11;
              if (!platform::ExitWindowsEx(platform::EWX_REBOOT, 0x80020002)) return 12;
              return 0;
            }),
            0);
  EXPECT_EQ(RequestLines(), "poweroff flags=5 reason=0\nreboot flags=2 reason=2147614722\n");

  struct FlagCase {
    uint32_t flags;
    uint32_t error;
  };
  for (const FlagCase c : {FlagCase{platform::EWX_LOGOFF, ERROR_NOT_SUPPORTED},
                           FlagCase{platform::EWX_SHUTDOWN | 0x20, ERROR_INVALID_PARAMETER}}) {
    EXPECT_FALSE(platform::ExitWindowsEx(c.flags, 0)) << c.flags;
    EXPECT_EQ(platform::GetLastError(), c.error) << c.flags;
  }
  EXPECT_EQ(RequestLines(), "poweroff flags=5 reason=0\nreboot flags=2 reason=2147614722\n");
}

}  // namespace
}  // namespace kestrix
