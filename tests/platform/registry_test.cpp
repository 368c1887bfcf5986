// Tests of the registry store: names, exact bytes, the query's byte counts, rights, processes, kills, and `kestrixctl reg`.
#include "platform/Registry.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/Paths.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix::platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Utf16Bytes(std::u16string_view text, size_t terminators) {
  Bytes out;
  for (const char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.insert(out.end(), 2 * terminators, 0);
  return out;
}

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

/// Closes a key handle at the end of scope.
struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h != nullptr) RegCloseKey(h);
  }
};

/// Every key and value below HKLM, one line each, in enumeration order.
void DumpTree(HKEY key, const std::string& path, std::vector<std::string>* out) {
  for (uint32_t i = 0;; ++i) {
    std::u16string name;
    uint32_t type = 0;
    Bytes data;
    const uint32_t rc = RegEnumValueW(key, i, &name, &type, &data);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    out->push_back(path + " : " + ToUtf8(name) + " " + std::to_string(type) + " " + Hex(data));
  }
  for (uint32_t i = 0;; ++i) {
    std::u16string name;
    const uint32_t rc = RegEnumKeyExW(key, i, &name);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    const std::string child = path.empty() ? ToUtf8(name) : path + "\\" + ToUtf8(name);
    out->push_back(child);
    Key sub;
    ASSERT_EQ(RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &sub.h), ERROR_SUCCESS) << child;
    DumpTree(sub.h, child, out);
  }
}

std::vector<std::string> Tree() {
  std::vector<std::string> out;
  DumpTree(HKEY_LOCAL_MACHINE, "", &out);
  return out;
}

const std::vector<std::string>& BaseTree() {
  static const std::vector<std::string> tree = {
      "SOFTWARE",
      "SYSTEM",
      "SYSTEM\\CurrentControlSet",
      "SYSTEM\\CurrentControlSet\\Control",
      "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
      "SYSTEM\\CurrentControlSet\\Control\\Session Manager : BootExecute 7 " +
          Hex(Utf16Bytes(u"autocheck autochk *", 2)),
      "SYSTEM\\CurrentControlSet\\Services",
  };
  return tree;
}

/// The first column of the first row a pragma gives on a separate read-only connection to the store file.
std::string Pragma(const std::filesystem::path& db, const char* sql) {
  sqlite3* raw = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(raw, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(raw);
  return result;
}

bool RunningAsRoot() { return ::geteuid() == 0; }

class RegistryTest : public ::testing::Test {
 protected:
  /// Creates (or opens) HKLM\SOFTWARE\Kestrix\Test\<sub> with all rights.
  HKEY Create(const std::u16string& sub = u"") {
    HKEY h = nullptr;
    const std::u16string path = sub.empty() ? u"SOFTWARE\\Kestrix\\Test" : u"SOFTWARE\\Kestrix\\Test\\" + sub;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, &h, nullptr), ERROR_SUCCESS);
    return h;
  }

  test::ScopedRoot m_root;
};

// ---- the store as it starts ----

TEST_F(RegistryTest, NewStoreHoldsExactlyTheBaseTree) {
  EXPECT_EQ(Tree(), BaseTree());
  // BootExecute byte for byte: one string, its terminator, and the empty string that ends the list.
  Key sm;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                          &sm.h),
            ERROR_SUCCESS);
  uint8_t buf[64];
  uint32_t size = sizeof buf, type = 0;
  ASSERT_EQ(RegQueryValueExW(sm.h, u"BootExecute", &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(Bytes(buf, buf + size), Utf16Bytes(u"autocheck autochk *", 2));
  EXPECT_EQ(size, 42u);

  // A rollback journal, never WAL: readers without write access to the directory must keep working.
  EXPECT_EQ(Pragma(RegistryFile(), "PRAGMA journal_mode"), "delete");
  EXPECT_FALSE(std::filesystem::exists(RegistryFile().string() + "-wal"));

  struct stat st {};
  ASSERT_EQ(::stat(RegistryFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::stat(RegistryFile().parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(RegistryTest, OpenNeverCreates) {
  for (const char16_t* path : {u"SOFTWARE\\KestrixSvc", u"SOFTWARE\\A\\B\\C", u"SYSTEM\\CurrentControlSet\\Services\\X"}) {
    for (const uint32_t sam : {KEY_READ, KEY_ALL_ACCESS}) {
      HKEY h = reinterpret_cast<HKEY>(uintptr_t{0x1234});
      EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, sam, &h), ERROR_FILE_NOT_FOUND) << ToUtf8(path);
      EXPECT_EQ(h, nullptr);
    }
  }
  EXPECT_EQ(Tree(), BaseTree());
}

// ---- paths ----

// The tables' rows print as their labels (in test lists and failure messages) instead of as raw bytes.
template <class Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.label, os) {
  return os << c.label;
}

struct PathCase {
  const char* label;
  const char16_t* path;
  uint32_t expected;
};

class RegistryPathTest : public RegistryTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RegistryPathTest, OpensAsWindowsParsesThePath) {
  Key made;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kestrix", KEY_ALL_ACCESS, &made.h, nullptr), ERROR_SUCCESS);
  Key h;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, GetParam().path, 0, KEY_READ, &h.h), GetParam().expected);
  EXPECT_EQ(h.h != nullptr, GetParam().expected == ERROR_SUCCESS);
}

const std::u16string kLongName(256, u'n');
const std::u16string kLongPath = u"SOFTWARE\\" + kLongName;

const PathCase kPathCases[] = {
    {"Plain", u"SOFTWARE\\Kestrix", ERROR_SUCCESS},
    {"LeadingSeparator", u"\\SOFTWARE\\Kestrix", ERROR_SUCCESS},
    {"TrailingSeparator", u"SOFTWARE\\Kestrix\\", ERROR_SUCCESS},
    {"OtherCase", u"software\\KESTRIX", ERROR_SUCCESS},
    {"EmptyOpensParentAgain", u"", ERROR_SUCCESS},
    {"NullOpensParentAgain", nullptr, ERROR_SUCCESS},
    {"Missing", u"SOFTWARE\\Kestrix\\Missing", ERROR_FILE_NOT_FOUND},
    {"MissingParent", u"SOFTWARE\\Missing\\Kestrix", ERROR_FILE_NOT_FOUND},
    {"PrefixIsNotAName", u"SOFTWARE\\Kestri", ERROR_FILE_NOT_FOUND},
    {"EmptyNameInside", u"SOFTWARE\\\\Kestrix", ERROR_INVALID_PARAMETER},
    {"NameOver255", kLongPath.c_str(), ERROR_INVALID_PARAMETER},
};

INSTANTIATE_TEST_SUITE_P(Paths, RegistryPathTest, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- names compare without case, keep their spelling ----

struct NameCase {
  const char* label;
  const char16_t* written;
  const char16_t* lookedUp;
  bool same;
};

class RegistryNameTest : public RegistryTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(RegistryNameTest, KeysAndValuesMatchWithoutCaseAndKeepTheirSpelling) {
  const NameCase& c = GetParam();
  Key parent;
  parent.h = Create();
  Key written;
  ASSERT_EQ(RegCreateKeyExW(parent.h, c.written, KEY_ALL_ACCESS, &written.h, nullptr), ERROR_SUCCESS);
  const Bytes first{1}, second{2, 2};
  ASSERT_EQ(RegSetValueExW(written.h, c.written, REG_BINARY, first.data(), 1), ERROR_SUCCESS);

  Key opened;
  EXPECT_EQ(RegOpenKeyExW(parent.h, c.lookedUp, 0, KEY_READ, &opened.h),
            c.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  uint32_t size = 0;
  EXPECT_EQ(RegQueryValueExW(written.h, c.lookedUp, nullptr, nullptr, &size),
            c.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);

  Key again;
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(parent.h, c.lookedUp, KEY_ALL_ACCESS, &again.h, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, c.same ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegSetValueExW(written.h, c.lookedUp, REG_NONE, second.data(), 2), ERROR_SUCCESS);

  // Enumeration shows the spelling each name was first written with.
  std::vector<std::u16string> keys, values;
  std::u16string name;
  for (uint32_t i = 0; RegEnumKeyExW(parent.h, i, &name) == ERROR_SUCCESS; ++i) keys.push_back(name);
  uint32_t type = 0;
  Bytes data;
  for (uint32_t i = 0; RegEnumValueW(written.h, i, &name, &type, &data) == ERROR_SUCCESS; ++i) values.push_back(name);
  if (c.same) {
    EXPECT_EQ(keys, std::vector<std::u16string>{c.written});
    EXPECT_EQ(values, std::vector<std::u16string>{c.written});
    ASSERT_EQ(RegEnumValueW(written.h, 0, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_NONE);
    EXPECT_EQ(data, second);
  } else {
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(values.size(), 2u);
  }
}

const NameCase kNameCases[] = {
    {"AsciiUpper", u"KestrixSvc", u"KESTRIXSVC", true},
    {"AsciiLower", u"KestrixSvc", u"kestrixsvc", true},
    {"DigitsAndMarks", u"Ab1_-. x", u"aB1_-. X", true},
    {"Latin1", u"\u00c4rger \u00c9t\u00e9", u"\u00e4RGER \u00e9T\u00c9", true},
    {"YDiaeresis", u"\u00ff", u"\u0178", true},
    {"DivisionSignIsNoLetter", u"\u00f7", u"\u00d7", false},
    {"SharpSIsNotSS", u"Stra\u00dfe", u"STRASSE", false},
    {"DifferentLetter", u"abc", u"abd", false},
    {"TrailingSpaceCounts", u"abc", u"abc ", false},
};

INSTANTIATE_TEST_SUITE_P(Names, RegistryNameTest, ::testing::ValuesIn(kNameCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryTest, EnumerationIsInNameOrderWithoutCase) {
  Key k;
  k.h = Create();
  for (const char16_t* n : {u"beta", u"Alpha", u"GAMMA", u"delta"}) {
    Key sub;
    ASSERT_EQ(RegCreateKeyExW(k.h, n, KEY_READ, &sub.h, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k.h, n, REG_NONE, nullptr, 0), ERROR_SUCCESS);
  }
  ASSERT_EQ(RegSetValueExW(k.h, nullptr, REG_NONE, nullptr, 0), ERROR_SUCCESS);
  std::vector<std::u16string> keys, values;
  std::u16string name;
  for (uint32_t i = 0; RegEnumKeyExW(k.h, i, &name) == ERROR_SUCCESS; ++i) keys.push_back(name);
  for (uint32_t i = 0; RegEnumValueW(k.h, i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i) values.push_back(name);
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"delta", u"GAMMA"}));
  EXPECT_EQ(values, (std::vector<std::u16string>{u"", u"Alpha", u"beta", u"delta", u"GAMMA"}));
  EXPECT_EQ(RegEnumKeyExW(k.h, 4, &name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValueW(k.h, 5, &name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

// ---- exact bytes ----

struct BytesCase {
  const char* label;
  uint32_t type;
  Bytes data;
};

class RegistryBytesTest : public RegistryTest, public ::testing::WithParamInterface<BytesCase> {};

TEST_P(RegistryBytesTest, ValueKeepsItsExactTypeAndBytes) {
  const BytesCase& c = GetParam();
  Key k;
  k.h = Create();
  // A longer value of another type first: the rewrite must replace, not merge.
  const Bytes earlier(c.data.size() + 7, 0xEE);
  ASSERT_EQ(RegSetValueExW(k.h, u"V", REG_QWORD + 1, earlier.data(), static_cast<uint32_t>(earlier.size())),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.h, u"V", c.type, c.data.data(), static_cast<uint32_t>(c.data.size())), ERROR_SUCCESS);
  RegCloseKey(k.h);

  Key r;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kestrix\\Test", 0, KEY_READ, &r.h), ERROR_SUCCESS);
  k.h = nullptr;
  uint32_t type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(r.h, u"V", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, c.data.size());
  Bytes got(size + 1, 0xAB);
  ASSERT_EQ(RegQueryValueExW(r.h, u"v", &type, got.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, c.type);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + size), c.data);
  EXPECT_EQ(got[size], 0xAB) << "nothing written past the value";

  std::u16string name;
  Bytes enumerated;
  ASSERT_EQ(RegEnumValueW(r.h, 0, &name, &type, &enumerated), ERROR_SUCCESS);
  EXPECT_EQ(enumerated, c.data);
  EXPECT_EQ(type, c.type);
}

Bytes AllByteValues() {
  Bytes b;
  for (int i = 0; i < 256; ++i) b.push_back(static_cast<uint8_t>(i));
  return b;
}

const BytesCase kBytesCases[] = {
    {"SzWithoutTerminator", REG_SZ, Utf16Bytes(u"abc", 0)},
    {"SzWithTerminator", REG_SZ, Utf16Bytes(u"abc", 1)},
    {"SzEmpty", REG_SZ, {}},
    {"SzOddLength", REG_SZ, {'a', 0, 'b'}},
    {"SzInnerZero", REG_SZ, Utf16Bytes(std::u16string(u"a\0b", 3), 1)},
    {"ExpandSz", REG_EXPAND_SZ, Utf16Bytes(u"%SystemRoot%\\x", 1)},
    {"MultiSzWithoutListEnd", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"a\0b", 3), 1)},
    {"BinaryEmpty", REG_BINARY, {}},
    {"DwordShort", REG_DWORD, {1, 2, 3}},
    {"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
    {"NoneWithAllByteValues", REG_NONE, AllByteValues()},
    {"UnknownType", 0x12345678, {0, 0, 0}},
    {"OneMebibyte", REG_BINARY, Bytes(1 << 20, 0x5A)},
};

INSTANTIATE_TEST_SUITE_P(Values, RegistryBytesTest, ::testing::ValuesIn(kBytesCases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- the query's byte counts ----

constexpr uint32_t kUntouched = 0xDDDDDDDD;
constexpr int kNoCount = -1;

struct QueryCase {
  const char* label;
  const char16_t* name;
  bool withData;
  int count;  // *cbData on entry; kNoCount for a null cbData
  uint32_t expected;
  uint32_t countAfter;
  uint32_t typeAfter;
  bool copied;
};

class RegistryQueryTest : public RegistryTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(RegistryQueryTest, FollowsTheByteCountRules) {
  const QueryCase& c = GetParam();
  Key k;
  k.h = Create();
  const Bytes six = Utf16Bytes(u"abc", 0);
  ASSERT_EQ(RegSetValueExW(k.h, u"Six", REG_SZ, six.data(), 6), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.h, u"Empty", REG_EXPAND_SZ, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(k.h, nullptr, REG_DWORD, six.data(), 4), ERROR_SUCCESS);

  Bytes buffer(16, 0xCC);
  uint32_t type = kUntouched;
  uint32_t count = c.count == kNoCount ? kUntouched : static_cast<uint32_t>(c.count);
  const uint32_t rc = RegQueryValueExW(k.h, c.name, &type, c.withData ? buffer.data() : nullptr,
                                       c.count == kNoCount ? nullptr : &count);
  EXPECT_EQ(rc, c.expected);
  EXPECT_EQ(type, c.typeAfter);
  EXPECT_EQ(count, c.countAfter);
  Bytes expectedBuffer(16, 0xCC);
  if (c.copied) {
    const Bytes& src = c.name == nullptr || c.name[0] == u'\0' ? Bytes(six.begin(), six.begin() + 4) : six;
    std::copy(src.begin(), src.end(), expectedBuffer.begin());
  }
  EXPECT_EQ(buffer, expectedBuffer) << (c.copied ? "exactly the value's bytes" : "buffer left as it was");
}

const QueryCase kQueryCases[] = {
    {"SizeQuery", u"Six", false, 0, ERROR_SUCCESS, 6, REG_SZ, false},
    {"SizeQueryWithLargeCount", u"Six", false, 100, ERROR_SUCCESS, 6, REG_SZ, false},
    {"ExistenceOnly", u"Six", false, kNoCount, ERROR_SUCCESS, kUntouched, REG_SZ, false},
    {"ExactBuffer", u"Six", true, 6, ERROR_SUCCESS, 6, REG_SZ, true},
    {"LargerBuffer", u"Six", true, 16, ERROR_SUCCESS, 6, REG_SZ, true},
    {"OneByteShort", u"Six", true, 5, ERROR_MORE_DATA, 6, REG_SZ, false},
    {"ZeroBuffer", u"Six", true, 0, ERROR_MORE_DATA, 6, REG_SZ, false},
    {"DataWithoutCount", u"Six", true, kNoCount, ERROR_INVALID_PARAMETER, kUntouched, kUntouched, false},
    {"ZeroLengthValueZeroBuffer", u"Empty", true, 0, ERROR_SUCCESS, 0, REG_EXPAND_SZ, false},
    {"ZeroLengthValueSize", u"Empty", false, 9, ERROR_SUCCESS, 0, REG_EXPAND_SZ, false},
    {"DefaultByNull", nullptr, true, 4, ERROR_SUCCESS, 4, REG_DWORD, true},
    {"DefaultByEmptyName", u"", true, 3, ERROR_MORE_DATA, 4, REG_DWORD, false},
    {"MissingSizeQuery", u"Seven", false, 0, ERROR_FILE_NOT_FOUND, 0, kUntouched, false},
    {"MissingWithBuffer", u"Seven", true, 16, ERROR_FILE_NOT_FOUND, 16, kUntouched, false},
};

INSTANTIATE_TEST_SUITE_P(Counts, RegistryQueryTest, ::testing::ValuesIn(kQueryCases),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- rights, deleted keys, refusals ----

TEST_F(RegistryTest, HandleRightsDecideWhatItMayDo) {
  Key k;
  k.h = Create();
  const uint8_t one = 1;
  ASSERT_EQ(RegSetValueExW(k.h, u"X", REG_BINARY, &one, 1), ERROR_SUCCESS);

  Key reader;
  ASSERT_EQ(RegOpenKeyExW(k.h, nullptr, 0, KEY_READ, &reader.h), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(reader.h, u"X", REG_BINARY, &one, 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(reader.h, u"X"), ERROR_ACCESS_DENIED);
  uint32_t size = 0;
  EXPECT_EQ(RegQueryValueExW(reader.h, u"X", nullptr, nullptr, &size), ERROR_SUCCESS);

  Key setter;
  ASSERT_EQ(RegOpenKeyExW(k.h, nullptr, 0, KEY_SET_VALUE, &setter.h), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(setter.h, u"X", REG_BINARY, &one, 1), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(setter.h, u"X", nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  std::u16string name;
  EXPECT_EQ(RegEnumKeyExW(setter.h, 0, &name), ERROR_ACCESS_DENIED);

  Key noCreate;
  ASSERT_EQ(RegOpenKeyExW(k.h, nullptr, 0, KEY_READ | KEY_SET_VALUE, &noCreate.h), ERROR_SUCCESS);
  Key sub;
  EXPECT_EQ(RegCreateKeyExW(noCreate.h, u"New", KEY_READ, &sub.h, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExW(k.h, u"X", REG_BINARY, nullptr, 1), ERROR_NOACCESS);
}

struct RefusalCase {
  const char* label;
  uint32_t (*op)(HKEY test);
  uint32_t expected;
};

class RegistryRefusalTest : public RegistryTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RegistryRefusalTest, RefusesWithTheWindowsError) {
  Key k;
  k.h = Create(u"Child");
  RegCloseKey(k.h);
  k.h = Create();
  const std::vector<std::string> before = Tree();
  EXPECT_EQ(GetParam().op(k.h), GetParam().expected);
  EXPECT_EQ(Tree(), before) << "a refused change leaves the store as it was";
}

const RefusalCase kRefusalCases[] = {
    {"DeleteKeyWithSubKeys", [](HKEY) { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kestrix"); },
     ERROR_ACCESS_DENIED},
    {"DeleteHive", [](HKEY) { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\"); }, ERROR_ACCESS_DENIED},
    {"DeleteRoot", [](HKEY) { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""); }, ERROR_ACCESS_DENIED},
    {"DeleteMissingKey", [](HKEY t) { return RegDeleteKeyW(t, u"Nope"); }, ERROR_FILE_NOT_FOUND},
    {"DeleteNullName", [](HKEY t) { return RegDeleteKeyW(t, nullptr); }, ERROR_INVALID_PARAMETER},
    {"DeleteMissingValue", [](HKEY t) { return RegDeleteValueW(t, u"Nope"); }, ERROR_FILE_NOT_FOUND},
    {"CreateKeyBesideTheHives",
     [](HKEY) {
       Key h;
       return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"NEWHIVE\\X", KEY_ALL_ACCESS, &h.h, nullptr);
     },
     ERROR_ACCESS_DENIED},
    {"CreateWithEmptyNameInside",
     [](HKEY t) {
       Key h;
       return RegCreateKeyExW(t, u"A\\\\B", KEY_ALL_ACCESS, &h.h, nullptr);
     },
     ERROR_INVALID_PARAMETER},
    {"NullHandle", [](HKEY) { return RegDeleteValueW(nullptr, u"X"); }, ERROR_INVALID_HANDLE},
    {"ForeignPointerAsHandle",
     [](HKEY) {
       static int notAKey;
       return RegQueryValueExW(reinterpret_cast<HKEY>(&notAKey), u"X", nullptr, nullptr, nullptr);
     },
     ERROR_INVALID_HANDLE},
};

INSTANTIATE_TEST_SUITE_P(Refusals, RegistryRefusalTest, ::testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryTest, KeyDeletedByAnotherProcessGivesKeyDeleted) {
  Key k;
  k.h = Create(u"Gone");
  const uint8_t one = 1;
  ASSERT_EQ(RegSetValueExW(k.h, u"X", REG_BINARY, &one, 1), ERROR_SUCCESS);
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "delete", "HKLM\\SOFTWARE\\Kestrix\\Test\\Gone", "/f"}), 0);

  uint32_t size = 0;
  std::u16string name;
  Key sub;
  EXPECT_EQ(RegQueryValueExW(k.h, u"X", nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExW(k.h, u"X", REG_BINARY, &one, 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteValueW(k.h, u"X"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExW(k.h, 0, &name), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueW(k.h, 0, &name, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(k.h, u"", 0, KEY_READ, &sub.h), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExW(k.h, u"Sub", KEY_READ, &sub.h, nullptr), ERROR_KEY_DELETED);
  // A key made again under the same name is another key: the old handle stays dead.
  Key made;
  made.h = Create(u"Gone");
  EXPECT_EQ(RegSetValueExW(k.h, u"X", REG_BINARY, &one, 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(k.h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k.h), ERROR_INVALID_HANDLE);
  k.h = nullptr;
}

// ---- other processes ----

std::map<std::string, std::string> ParseLines(const std::string& out) {
  std::map<std::string, std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    const size_t sp = line.find(' ');
    lines[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  }
  return lines;
}

TEST_F(RegistryTest, UnprivilegedProcessReadsButCannotWrite) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to drop to nobody";
  Key k;
  k.h = Create();
  const Bytes value = Utf16Bytes(u"v1", 0);
  ASSERT_EQ(RegSetValueExW(k.h, u"Version", REG_SZ, value.data(), 4), ERROR_SUCCESS);
  const std::vector<std::string> before = Tree();

  std::string out;
  ASSERT_EQ(test::Run(KESTRIX_TESTPROC, {"reg-unprivileged", "SOFTWARE\\KESTRIX\\test", "VERSION"}, &out), 0);
  const auto lines = ParseLines(out);
  EXPECT_EQ(lines.at("open-read"), "0");
  EXPECT_EQ(lines.at("query"), "0");
  EXPECT_EQ(lines.at("data"), "1 76 00 31 00");
  for (const char* op : {"set-on-read-handle", "delete-value-on-read-handle", "open-set-value", "open-create-sub-key",
                         "open-write", "open-all-access", "open-generic-write", "open-delete", "create-existing",
                         "delete-key", "set-on-root"}) {
    EXPECT_EQ(lines.at(op), "5") << op;
  }
  EXPECT_EQ(Tree(), before);
}

TEST_F(RegistryTest, UnprivilegedProcessNeitherFindsNorMakesAMissingStore) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to drop to nobody";
  std::string out;
  ASSERT_EQ(test::Run(KESTRIX_TESTPROC, {"reg-unprivileged", "SOFTWARE", "X"}, &out), 0);
  const auto lines = ParseLines(out);
  EXPECT_EQ(lines.at("open-read"), "2");
  EXPECT_EQ(lines.count("query"), 0u);
  EXPECT_FALSE(std::filesystem::exists(RegistryFile()));
}

TEST_F(RegistryTest, ConcurrentWritersInSeparateProcessesLoseNothing) {
  constexpr int kWriters = 8;
  constexpr int kEach = 200;
  std::vector<test::Child> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(test::Child::Role(
        "reg-writer", {"SOFTWARE\\Kestrix\\Test", "w" + std::to_string(w), std::to_string(kEach)}));
  }
  for (auto& w : writers) EXPECT_EQ(w.Wait(120000), 0);

  Key k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kestrix\\Test", 0, KEY_READ, &k.h), ERROR_SUCCESS);
  int found = 0;
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kEach; ++i) {
      const std::string name = "w" + std::to_string(w) + "-" + std::to_string(i);
      uint8_t buf[32];
      uint32_t size = sizeof buf, type = 0;
      ASSERT_EQ(RegQueryValueExW(k.h, FromUtf8(name).c_str(), &type, buf, &size), ERROR_SUCCESS) << name;
      EXPECT_EQ(std::string(buf, buf + size), name);
      ++found;
    }
  }
  EXPECT_EQ(found, kWriters * kEach);
  std::u16string name;
  EXPECT_EQ(RegEnumValueW(k.h, kWriters * kEach, &name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExW(k.h, 0, &name), ERROR_SUCCESS);
  EXPECT_EQ(name, u"Shared");
  EXPECT_EQ(RegEnumKeyExW(k.h, 1, &name), ERROR_NO_MORE_ITEMS);
}

uint64_t LastAcked(const std::filesystem::path& progress) {
  std::ifstream in(progress);
  std::string line;
  uint64_t last = 0;
  while (std::getline(in, line)) {
    if (!line.empty()) last = std::stoull(line);
  }
  return last;
}

Bytes AckedValueBytes(uint64_t i) {
  const std::string digits = std::to_string(i) + ";";
  Bytes out;
  while (out.size() < 1000 * (i % 13 + 1)) out.insert(out.end(), digits.begin(), digits.end());
  return out;
}

TEST_F(RegistryTest, KillDuringWritesLosesNoAcknowledgedValue) {
  Key base;
  base.h = Create();  // the store exists before the first kill
  const std::filesystem::path progress = m_root.Path() / "progress";
  std::mt19937 random(20261211);
  uint64_t acked = 0;
  for (int round = 0; round < 30; ++round) {
    test::Child writer =
        test::Child::Role("reg-writer-acked", {"SOFTWARE\\Kestrix\\Test", std::to_string(acked), progress.string()});
    // Let it acknowledge a few writes, then kill it at a random moment of the following ones.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (LastAcked(progress) < acked + 5 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    writer.Kill(SIGKILL);
    ASSERT_EQ(writer.Wait(10000), 128 + SIGKILL) << "the writer must still have been writing";
    const uint64_t now = LastAcked(progress);
    ASSERT_GT(now, acked) << "round " << round;
    acked = now;

    Key k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kestrix\\Test", 0, KEY_READ, &k.h), ERROR_SUCCESS);
    for (uint64_t i = 0; i < acked; ++i) {
      const std::u16string name = u"v" + FromUtf8(std::to_string(i));
      Bytes buf(16384);
      uint32_t size = static_cast<uint32_t>(buf.size()), type = 0;
      ASSERT_EQ(RegQueryValueExW(k.h, name.c_str(), &type, buf.data(), &size), ERROR_SUCCESS)
          << "acknowledged value v" << i << " lost in round " << round;
      buf.resize(size);
      ASSERT_EQ(buf, AckedValueBytes(i)) << "v" << i;
    }
    EXPECT_EQ(Pragma(RegistryFile(), "PRAGMA integrity_check"), "ok") << "round " << round;
  }
}

// ---- kestrixctl reg ----

/// The values of one key section of a .reg text, each as type and bytes.
std::map<std::string, std::pair<uint32_t, Bytes>> ParseRegSection(std::string text, const std::string& key) {
  // Join continued lines first.
  for (size_t at; (at = text.find("\\\r\n  ")) != std::string::npos;) text.erase(at, 5);
  std::map<std::string, std::pair<uint32_t, Bytes>> values;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inside = line == "[" + key + "]";
      continue;
    }
    if (!inside || line.empty()) continue;
    std::string name;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else {
      for (pos = 1; line[pos] != '"'; ++pos) {
        if (line[pos] == '\\') ++pos;
        name += line[pos];
      }
      ++pos;
    }
    const std::string data = line.substr(pos + 1);
    if (data[0] == '"') {
      std::string s;
      for (size_t i = 1; data[i] != '"'; ++i) {
        if (data[i] == '\\') ++i;
        s += data[i];
      }
      values[name] = {REG_SZ, Utf16Bytes(FromUtf8(s), 1)};
    } else if (data.rfind("dword:", 0) == 0) {
      const uint32_t v = static_cast<uint32_t>(std::stoul(data.substr(6), nullptr, 16));
      values[name] = {REG_DWORD, Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
    } else {
      uint32_t type = REG_BINARY;
      const size_t colon = data.find(':');
      if (data.rfind("hex(", 0) == 0) type = static_cast<uint32_t>(std::stoul(data.substr(4), nullptr, 16));
      Bytes bytes;
      for (size_t i = colon + 1; i + 2 <= data.size(); i += 3) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(data.substr(i, 2), nullptr, 16)));
      }
      values[name] = {type, bytes};
    }
  }
  return values;
}

struct CtlAddCase {
  const char* label;
  std::vector<std::string> args;  // after KEY
  const char* name;
  uint32_t type;
  Bytes bytes;
};

class RegistryCtlAddTest : public RegistryTest, public ::testing::WithParamInterface<CtlAddCase> {};

constexpr const char* kCtlKey = "HKLM\\SOFTWARE\\Kestrix\\Test";
constexpr const char* kCtlKeyLong = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrix\\Test";

TEST_P(RegistryCtlAddTest, StoresExactBytesThatQueryAndExportGiveBack) {
  const CtlAddCase& c = GetParam();
  std::vector<std::string> args{"reg", "add", kCtlKey};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ASSERT_EQ(test::Run(KESTRIXCTL, args), 0);

  Key k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kestrix\\Test", 0, KEY_READ, &k.h), ERROR_SUCCESS);
  const std::u16string name = FromUtf8(c.name);
  Bytes got(64, 0);
  uint32_t size = static_cast<uint32_t>(got.size()), type = 0;
  ASSERT_EQ(RegQueryValueExW(k.h, name.c_str(), &type, got.data(), &size), ERROR_SUCCESS);
  got.resize(size);
  EXPECT_EQ(type, c.type);
  EXPECT_EQ(got, c.bytes);

  std::string json;
  std::vector<std::string> query{"reg", "query", kCtlKey, "--json"};
  if (name.empty()) {
    query.push_back("/ve");
  } else {
    query.insert(query.end(), {"/v", c.name});
  }
  ASSERT_EQ(test::Run(KESTRIXCTL, query, &json), 0);
  EXPECT_NE(json.find("\"hex\":\"" + Hex(c.bytes) + "\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"type_code\":" + std::to_string(c.type)), std::string::npos) << json;

  std::string exported;
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "export", kCtlKey, "-"}, &exported), 0);
  ASSERT_EQ(exported.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u) << exported;
  const auto values = ParseRegSection(exported, kCtlKeyLong);
  ASSERT_EQ(values.count(c.name), 1u) << exported;
  EXPECT_EQ(values.at(c.name).first, c.type) << exported;
  EXPECT_EQ(values.at(c.name).second, c.bytes) << exported;
}

const CtlAddCase kCtlAddCases[] = {
    {"SzWithTerminator", {"/v", "S", "/d", "hi \"q\" \\x"}, "S", REG_SZ, Utf16Bytes(u"hi \"q\" \\x", 1)},
    {"SzNoTerm", {"/v", "S", "/d", "hi", "/noterm"}, "S", REG_SZ, Utf16Bytes(u"hi", 0)},
    {"SzEmptyNoTerm", {"/v", "S", "/noterm"}, "S", REG_SZ, {}},
    {"DefaultValue", {"/ve", "/d", "x"}, "", REG_SZ, Utf16Bytes(u"x", 1)},
    {"ExpandSz", {"/v", "E", "/t", "REG_EXPAND_SZ", "/d", "%PATH%"}, "E", REG_EXPAND_SZ, Utf16Bytes(u"%PATH%", 1)},
    {"MultiSz", {"/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0bc"}, "M", REG_MULTI_SZ,
     Utf16Bytes(std::u16string(u"a\0bc\0", 5), 1)},
    {"MultiSzSeparator", {"/v", "M", "/t", "reg_multi_sz", "/s", "#", "/d", "a#b"}, "M", REG_MULTI_SZ,
     Utf16Bytes(std::u16string(u"a\0b\0", 4), 1)},
    {"MultiSzNoTerm", {"/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0b", "/noterm"}, "M", REG_MULTI_SZ,
     Utf16Bytes(std::u16string(u"a\0b", 3), 0)},
    {"DwordHex", {"/v", "D", "/t", "REG_DWORD", "/d", "0x10"}, "D", REG_DWORD, {0x10, 0, 0, 0}},
    {"DwordMax", {"/v", "D", "/t", "REG_DWORD", "/d", "4294967295"}, "D", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
    {"Qword", {"/v", "Q", "/t", "REG_QWORD", "/d", "0x100000002"}, "Q", REG_QWORD, {2, 0, 0, 0, 1, 0, 0, 0}},
    {"Binary", {"/v", "B", "/t", "REG_BINARY", "/d", "01ff"}, "B", REG_BINARY, {0x01, 0xFF}},
    {"BinaryLongWraps", {"/v", "B", "/t", "REG_BINARY", "/hex", std::string(120, 'a')}, "B", REG_BINARY,
     Bytes(60, 0xAA)},
    {"HexOddSz", {"/v", "H", "/t", "REG_SZ", "/hex", "61,00,62"}, "H", REG_SZ, {0x61, 0x00, 0x62}},
    {"HexDwordWrongSize", {"/v", "H", "/t", "REG_DWORD", "/hex", "0102"}, "H", REG_DWORD, {1, 2}},
    {"HexEmptyNone", {"/v", "N", "/t", "REG_NONE", "/hex", ""}, "N", REG_NONE, {}},
};

INSTANTIATE_TEST_SUITE_P(Ctl, RegistryCtlAddTest, ::testing::ValuesIn(kCtlAddCases),
                         [](const auto& info) { return std::string(info.param.label); });

struct CtlErrorCase {
  const char* label;
  std::vector<std::string> args;
};

class RegistryCtlErrorTest : public RegistryTest, public ::testing::WithParamInterface<CtlErrorCase> {};

TEST_P(RegistryCtlErrorTest, FailsWithExitCodeOneAndChangesNothing) {
  Key k;
  k.h = Create();
  const Bytes one{1};
  ASSERT_EQ(RegSetValueExW(k.h, u"Existing", REG_BINARY, one.data(), 1), ERROR_SUCCESS);
  const std::vector<std::string> before = Tree();
  EXPECT_EQ(test::Run(KESTRIXCTL, GetParam().args), 1);
  EXPECT_EQ(Tree(), before);
}

const CtlErrorCase kCtlErrorCases[] = {
    {"DwordTooLarge", {"reg", "add", kCtlKey, "/v", "X", "/t", "REG_DWORD", "/d", "0x100000000"}},
    {"DwordNotANumber", {"reg", "add", kCtlKey, "/v", "X", "/t", "REG_DWORD", "/d", "12a"}},
    {"UnknownType", {"reg", "add", kCtlKey, "/v", "X", "/t", "REG_FOO"}},
    {"BadHexDigit", {"reg", "add", kCtlKey, "/v", "X", "/hex", "0g"}},
    {"OddHexDigits", {"reg", "add", kCtlKey, "/v", "X", "/hex", "abc"}},
    {"HexWithData", {"reg", "add", kCtlKey, "/v", "X", "/hex", "00", "/d", "x"}},
    {"NoTermOnDword", {"reg", "add", kCtlKey, "/v", "X", "/t", "REG_DWORD", "/d", "1", "/noterm"}},
    {"NameAndDefault", {"reg", "add", kCtlKey, "/v", "X", "/ve", "/d", "x"}},
    {"ExistingWithoutForce", {"reg", "add", kCtlKey, "/v", "existing", "/d", "x"}},
    {"OtherRoot", {"reg", "add", "HKCU\\Software\\X", "/v", "X", "/d", "x"}},
    {"NewHive", {"reg", "add", "HKLM\\NEWHIVE", "/v", "X", "/d", "x"}},
    {"QueryMissingKey", {"reg", "query", "HKLM\\SOFTWARE\\Missing"}},
    {"QueryMissingValue", {"reg", "query", kCtlKey, "/v", "Missing"}},
    {"DeleteWithoutForce", {"reg", "delete", kCtlKey, "/v", "Existing"}},
    {"DeleteMissingValue", {"reg", "delete", kCtlKey, "/v", "Missing", "/f"}},
    {"DeleteHive", {"reg", "delete", "HKLM\\SOFTWARE", "/f"}},
    {"UnknownVerb", {"reg", "import", kCtlKey}},
    {"UnknownOption", {"reg", "query", kCtlKey, "/z"}},
};

INSTANTIATE_TEST_SUITE_P(Ctl, RegistryCtlErrorTest, ::testing::ValuesIn(kCtlErrorCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryTest, CtlQueryPrintsLikeRegExe) {
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "add", kCtlKey, "/v", "Name", "/d", "hello"}), 0);
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "add", kCtlKey, "/v", "Count", "/t", "REG_DWORD", "/d", "255"}), 0);
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "add", kCtlKey, "/ve", "/t", "REG_MULTI_SZ", "/d", "a\\0b"}), 0);
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "add", std::string(kCtlKey) + "\\Sub"}), 0);
  std::string out;
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "query", "hkey_local_machine\\SOFTWARE\\Kestrix\\Test"}, &out), 0);
  EXPECT_EQ(out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrix\\Test\n"
            "    (Default)    REG_MULTI_SZ    a\\0b\n"
            "    Count    REG_DWORD    0xff\n"
            "    Name    REG_SZ    hello\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrix\\Test\\Sub\n\n");
  out.clear();
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "query", "HKLM\\SOFTWARE", "/s", "/v", "NAME"}, &out), 0);
  EXPECT_EQ(out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrix\\Test\n    Name    REG_SZ    hello\n\n");
  out.clear();
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "query", kCtlKey, "/v", "count", "--json"}, &out), 0);
  EXPECT_EQ(out,
            "{\"keys\":[{\"path\":\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Kestrix\\\\Test\",\"values\":[{\"name\":"
            "\"Count\",\"type\":\"REG_DWORD\",\"type_code\":4,\"size\":4,\"data\":255,\"hex\":\"FF000000\"}],"
            "\"subkeys\":[\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Kestrix\\\\Test\\\\Sub\"]}]}\n");
}

TEST_F(RegistryTest, CtlDeleteRemovesValuesAndWholeTrees) {
  Key k;
  k.h = Create(u"A\\B\\C");
  RegCloseKey(k.h);
  k.h = Create();
  const Bytes one{1};
  for (const char16_t* n : {u"X", u"Y", u""}) ASSERT_EQ(RegSetValueExW(k.h, n, REG_BINARY, one.data(), 1), ERROR_SUCCESS);
  uint32_t size = 0;

  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "delete", kCtlKey, "/v", "x", "/f"}), 0);
  EXPECT_EQ(RegQueryValueExW(k.h, u"X", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(k.h, u"Y", nullptr, nullptr, &size), ERROR_SUCCESS);
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "delete", kCtlKey, "/ve", "/f"}), 0);
  EXPECT_EQ(RegQueryValueExW(k.h, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegSetValueExW(k.h, u"Z", REG_BINARY, one.data(), 1), ERROR_SUCCESS);
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "delete", kCtlKey, "/va", "/f"}), 0);
  std::u16string name;
  EXPECT_EQ(RegEnumValueW(k.h, 0, &name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExW(k.h, 0, &name), ERROR_SUCCESS) << "/va leaves sub-keys";

  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "delete", "HKLM\\SOFTWARE\\Kestrix", "/f"}), 0);
  std::vector<std::string> expected = BaseTree();
  EXPECT_EQ(Tree(), expected);
}

TEST_F(RegistryTest, CtlExportToFileIsUtf16WithByteOrderMark) {
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "add", std::string(kCtlKey) + "\\\u00c4", "/v", "N\u00e4me", "/d",
                                   "w\u00e9rt"}),
            0);
  std::string utf8;
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "export", "HKLM\\SOFTWARE\\Kestrix", "-"}, &utf8), 0);
  EXPECT_NE(utf8.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrix\\Test\\\u00c4]\r\n\"N\u00e4me\"=\"w\u00e9rt\"\r\n"),
            std::string::npos)
      << utf8;

  const std::filesystem::path file = m_root.Path() / "out.reg";
  ASSERT_EQ(test::Run(KESTRIXCTL, {"reg", "export", "HKLM\\SOFTWARE\\Kestrix", file.string()}), 0);
  std::ifstream in(file, std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const Bytes expected = [&] {
    Bytes b{0xFF, 0xFE};
    const Bytes body = Utf16Bytes(FromUtf8(utf8), 0);
    b.insert(b.end(), body.begin(), body.end());
    return b;
  }();
  EXPECT_EQ(Bytes(raw.begin(), raw.end()), expected);
  // An existing file is kept unless /y says otherwise.
  EXPECT_EQ(test::Run(KESTRIXCTL, {"reg", "export", "HKLM\\SOFTWARE", file.string()}), 1);
  EXPECT_EQ(std::filesystem::file_size(file), expected.size());
  EXPECT_EQ(test::Run(KESTRIXCTL, {"reg", "export", "HKLM\\SOFTWARE", file.string(), "/y"}), 0);
  EXPECT_NE(std::filesystem::file_size(file), expected.size());
}

TEST_F(RegistryTest, CtlHelpForEachVerb) {
  for (const char* verb : {"query", "add", "delete", "export"}) {
    std::string out;
    EXPECT_EQ(test::Run(KESTRIXCTL, {"reg", verb, "--help"}, &out), 0) << verb;
    EXPECT_EQ(out.rfind(std::string("kestrixctl reg ") + verb, 0), 0u) << out;
  }
  std::string out;
  EXPECT_EQ(test::Run(KESTRIXCTL, {"reg", "--help"}, &out), 0);
  EXPECT_NE(out.find("export"), std::string::npos);
}

}  // namespace
}  // namespace kestrix::platform
