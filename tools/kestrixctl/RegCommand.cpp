// `kestrixctl reg`: reads, writes, deletes and exports keys of the registry store for installers, admins and tests.
#include "tools/kestrixctl/RegCommand.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/Registry.h"
#include "tools/kestrixctl/Output.h"

namespace kestrix::ctl {

namespace {

using platform::HKEY;
using platform::HKEY_LOCAL_MACHINE;

constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";

constexpr const char* kUsage =
    "Usage: kestrixctl reg VERB KEY [options]   (KEY is HKLM\\... or HKEY_LOCAL_MACHINE\\...)\n"
    "  query  KEY [/v NAME | /ve] [/s] [--json]\n"
    "  add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/noterm] [/hex BYTES] [/f]\n"
    "  delete KEY [/v NAME | /ve | /va] /f\n"
    "  export KEY FILE [/y]        (FILE - writes to stdout)\n"
    "Run `kestrixctl reg VERB --help` for the options of one verb. Exit code 0 on success, 1 on failure.\n";

constexpr const char* kQueryHelp =
    "kestrixctl reg query KEY [/v NAME | /ve] [/s] [--json]\n"
    "  Lists the values of KEY and its sub-keys.\n"
    "  /v NAME   only the value NAME        /ve  only the default value\n"
    "  /s        all sub-keys, recursively  --json  machine-readable output: type, decoded data and hex bytes\n";

constexpr const char* kAddHelp =
    "kestrixctl reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/noterm] [/hex BYTES] [/f]\n"
    "  Creates KEY (and missing parents) and, with /v, /ve, /t, /d or /hex, writes a value.\n"
    "  /t TYPE   REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE\n"
    "  /d DATA   text for string types; decimal or 0x-hex for REG_DWORD/REG_QWORD; hex digits for\n"
    "            REG_BINARY/REG_NONE; for REG_MULTI_SZ items separated by SEP (default the two characters \\0)\n"
    "  /noterm   string types: store the text without its terminating zero character(s)\n"
    "  /hex BYTES  store exactly these bytes (hex digits; spaces, commas and colons ignored) with type TYPE\n"
    "  /f        overwrite an existing value (without /f an existing value is left alone and the command fails)\n";

constexpr const char* kDeleteHelp =
    "kestrixctl reg delete KEY [/v NAME | /ve | /va] /f\n"
    "  Without /v, /ve or /va deletes KEY with all its sub-keys.\n"
    "  /v NAME  the value NAME   /ve  the default value   /va  all values of KEY\n"
    "  /f       required: there is no interactive confirmation\n";

constexpr const char* kExportHelp =
    "kestrixctl reg export KEY FILE [/y]\n"
    "  Writes KEY and its sub-keys in the .reg format (\"Windows Registry Editor Version 5.00\"):\n"
    "  to FILE as UTF-16LE with a byte-order mark, or with FILE - to stdout as UTF-8. Values whose bytes are\n"
    "  not a well-formed terminated string are written as hex(N): so their exact bytes survive.\n"
    "  /y  overwrite FILE when it exists (without /y an existing FILE is left alone and the command fails)\n";

struct TypeName {
  uint32_t type;
  const char* name;
};
constexpr TypeName kTypes[] = {
    {platform::REG_NONE, "REG_NONE"},     {platform::REG_SZ, "REG_SZ"},
    {platform::REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {platform::REG_BINARY, "REG_BINARY"},
    {platform::REG_DWORD, "REG_DWORD"},   {platform::REG_MULTI_SZ, "REG_MULTI_SZ"},
    {platform::REG_QWORD, "REG_QWORD"},
};

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string TypeText(uint32_t type) {
  for (const auto& t : kTypes) {
    if (t.type == type) return t.name;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%" PRIx32, type);
  return buf;
}

bool ParseType(std::string_view text, uint32_t* type) {
  for (const auto& t : kTypes) {
    if (IEquals(text, t.name)) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

bool IsStringType(uint32_t type) {
  return type == platform::REG_SZ || type == platform::REG_EXPAND_SZ || type == platform::REG_MULTI_SZ;
}

const char* ErrorText(uint32_t err) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND: return "the key or value does not exist";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_INVALID_PARAMETER: return "invalid parameter";
    case ERROR_KEY_DELETED: return "the key was deleted";
    case ERROR_CANTOPEN: return "the store cannot be opened";
    case ERROR_BADDB: return "the store is not a registry database";
    case ERROR_REGISTRY_CORRUPT: return "the store is corrupt";
    case ERROR_REGISTRY_IO_FAILED: return "the store could not be read or written";
    case ERROR_DISK_FULL: return "the disk is full";
    default: return "failed";
  }
}

int Fail(const std::string& what, uint32_t err) {
  std::fprintf(stderr, "ERROR: %s: %s (Win32 error %" PRIu32 ")\n", what.c_str(), ErrorText(err), err);
  return 1;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "ERROR: %s\nType \"kestrixctl reg --help\" for usage.\n", message.c_str());
  return 1;
}

/// A key as the user wrote it: the path below HKEY_LOCAL_MACHINE and the text that names it in messages.
struct KeyArg {
  std::u16string sub;
  std::string display;
};

bool ParseKey(std::string_view text, KeyArg* key) {
  const size_t sep = text.find('\\');
  const std::string_view root = text.substr(0, sep);
  if (!IEquals(root, "HKLM") && !IEquals(root, kRootName)) return false;
  std::string_view rest = sep == std::string_view::npos ? std::string_view() : text.substr(sep + 1);
  while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  key->sub = FromUtf8(rest);
  key->display = rest.empty() ? std::string(kRootName) : std::string(kRootName) + "\\" + std::string(rest);
  return true;
}

/// Names compare as the store compares them: ASCII and Latin-1 letters without case.
std::u16string FoldName(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
      c = static_cast<char16_t>(c - 0x20);
    } else if (c == 0xFF) {
      c = 0x178;
    }
  }
  return out;
}

std::string Child(const std::string& parent, const std::u16string& name) { return parent + "\\" + ToUtf8(name); }
std::u16string ChildSub(const std::u16string& parent, const std::u16string& name) {
  return parent.empty() ? name : parent + u"\\" + name;
}

/// Closes a key handle when it goes out of scope.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (m_key != nullptr) platform::RegCloseKey(m_key);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* Out() { return &m_key; }
  HKEY Get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

struct Value {
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

uint32_t ListValues(HKEY key, std::vector<Value>* values) {
  values->clear();
  for (uint32_t i = 0;; ++i) {
    Value v;
    const uint32_t err = platform::RegEnumValueW(key, i, &v.name, &v.type, &v.data);
    if (err == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS) return err;
    values->push_back(std::move(v));
  }
}

uint32_t ListKeys(HKEY key, std::vector<std::u16string>* names) {
  names->clear();
  for (uint32_t i = 0;; ++i) {
    std::u16string name;
    const uint32_t err = platform::RegEnumKeyExW(key, i, &name);
    if (err == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS) return err;
    names->push_back(std::move(name));
  }
}

// ---- data as bytes and back ----

void AppendUtf16(std::vector<uint8_t>* out, std::u16string_view text) {
  for (const char16_t c : text) {
    out->push_back(static_cast<uint8_t>(c & 0xFF));
    out->push_back(static_cast<uint8_t>(c >> 8));
  }
}

std::u16string Utf16Of(const std::vector<uint8_t>& bytes) {
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return out;
}

/// The text of a string value up to its first zero character.
std::string StringOf(const std::vector<uint8_t>& bytes) {
  std::u16string text = Utf16Of(bytes);
  const size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  return ToUtf8(text);
}

/// The items of a REG_MULTI_SZ: zero-separated, ended by an empty item (or by the end of the bytes).
std::vector<std::string> ItemsOf(const std::vector<uint8_t>& bytes) {
  const std::u16string text = Utf16Of(bytes);
  std::vector<std::string> items;
  size_t start = 0;
  while (start < text.size()) {
    size_t nul = text.find(u'\0', start);
    if (nul == std::u16string::npos) nul = text.size();
    if (nul == start) break;
    items.push_back(ToUtf8(text.substr(start, nul - start)));
    start = nul + 1;
  }
  return items;
}

uint64_t LittleEndian(const std::vector<uint8_t>& bytes) {
  uint64_t v = 0;
  for (size_t i = bytes.size(); i-- > 0;) v = (v << 8) | bytes[i];
  return v;
}

std::string HexOf(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool ParseNumber(std::string_view text, uint64_t max, uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t v = 0;
  for (const char c : text) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  *value = v;
  return true;
}

struct AddData {
  uint32_t type = platform::REG_SZ;
  bool hasData = false;
  std::string data;
  std::string separator = "\\0";
  bool noTerm = false;
  bool hasHex = false;
  std::string hex;
};

/// The bytes `reg add` stores; false (with a message) when the data does not fit the type.
bool EncodeData(const AddData& in, std::vector<uint8_t>* out, std::string* error) {
  out->clear();
  if (in.hasHex) {
    if (in.hasData || in.noTerm) {
      *error = "/hex cannot be combined with /d or /noterm";
      return false;
    }
    if (!ParseHex(in.hex, out)) {
      *error = "invalid hex bytes: " + in.hex;
      return false;
    }
    return true;
  }
  if (in.noTerm && !IsStringType(in.type)) {
    *error = "/noterm applies only to string types";
    return false;
  }
  switch (in.type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ:
      AppendUtf16(out, FromUtf8(in.data));
      if (!in.noTerm) AppendUtf16(out, std::u16string(1, u'\0'));
      return true;
    case platform::REG_MULTI_SZ: {
      if (in.separator.empty()) {
        *error = "the separator must not be empty";
        return false;
      }
      std::vector<std::string> items;
      if (!in.data.empty()) {
        size_t start = 0;
        for (;;) {
          const size_t at = in.data.find(in.separator, start);
          items.push_back(in.data.substr(start, at == std::string::npos ? std::string::npos : at - start));
          if (at == std::string::npos) break;
          start = at + in.separator.size();
        }
      }
      for (size_t i = 0; i < items.size(); ++i) {
        AppendUtf16(out, FromUtf8(items[i]));
        if (!in.noTerm || i + 1 < items.size()) AppendUtf16(out, std::u16string(1, u'\0'));
      }
      if (!in.noTerm) AppendUtf16(out, std::u16string(1, u'\0'));
      return true;
    }
    case platform::REG_DWORD:
    case platform::REG_QWORD: {
      const bool dword = in.type == platform::REG_DWORD;
      uint64_t v = 0;
      if (!ParseNumber(in.hasData ? in.data : "0", dword ? UINT32_MAX : UINT64_MAX, &v)) {
        *error = "invalid number for " + TypeText(in.type) + ": " + in.data;
        return false;
      }
      for (int i = 0; i < (dword ? 4 : 8); ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
      return true;
    }
    default:
      if (!ParseHex(in.data, out)) {
        *error = "invalid hex data: " + in.data;
        return false;
      }
      return true;
  }
}

// ---- query ----

std::string DataText(const Value& v) {
  switch (v.type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ:
      return StringOf(v.data);
    case platform::REG_MULTI_SZ: {
      std::string out;
      for (const auto& item : ItemsOf(v.data)) out += (out.empty() ? "" : "\\0") + item;
      return out;
    }
    case platform::REG_DWORD:
    case platform::REG_QWORD:
      if (v.data.size() == (v.type == platform::REG_DWORD ? 4u : 8u)) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%" PRIx64, LittleEndian(v.data));
        return buf;
      }
      return HexOf(v.data);
    default:
      return HexOf(v.data);
  }
}

std::string Quoted(std::string_view text) { return "\"" + JsonEscape(text) + "\""; }

std::string DataJson(const Value& v) {
  switch (v.type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ:
      return Quoted(StringOf(v.data));
    case platform::REG_MULTI_SZ: {
      std::string out = "[";
      for (const auto& item : ItemsOf(v.data)) out += (out.size() > 1 ? "," : "") + Quoted(item);
      return out + "]";
    }
    case platform::REG_DWORD:
    case platform::REG_QWORD:
      if (v.data.size() == (v.type == platform::REG_DWORD ? 4u : 8u)) return std::to_string(LittleEndian(v.data));
      return "null";
    default:
      return "null";
  }
}

std::string ValueJson(const Value& v) {
  return "{\"name\":" + Quoted(ToUtf8(v.name)) + ",\"type\":" + Quoted(TypeText(v.type)) +
         ",\"type_code\":" + std::to_string(v.type) + ",\"size\":" + std::to_string(v.data.size()) +
         ",\"data\":" + DataJson(v) + ",\"hex\":\"" + HexOf(v.data) + "\"}";
}

struct QueryOptions {
  bool hasName = false;
  std::u16string name;
  bool recursive = false;
  bool json = false;
};

struct QueryState {
  std::string text;
  std::vector<std::string> jsonKeys;
  size_t matches = 0;
};

// Opens a key for reading and lists its values and sub-keys; on failure names the key in *failedKey.
uint32_t ReadKey(const std::u16string& sub, const std::string& display, std::vector<Value>* values,
                 std::vector<std::u16string>* subKeys, std::string* failedKey) {
  Key key;
  uint32_t err = platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, platform::KEY_READ, key.Out());
  if (err == ERROR_SUCCESS) err = ListValues(key.Get(), values);
  if (err == ERROR_SUCCESS) err = ListKeys(key.Get(), subKeys);
  if (err != ERROR_SUCCESS) *failedKey = display;
  return err;
}

uint32_t QueryKey(const std::u16string& sub, const std::string& display, const QueryOptions& opt, QueryState* st,
                  std::string* failedKey) {
  std::vector<Value> values;
  std::vector<std::u16string> subKeys;
  if (const uint32_t err = ReadKey(sub, display, &values, &subKeys, failedKey); err != ERROR_SUCCESS) return err;
  if (opt.hasName) {
    std::vector<Value> picked;
    for (auto& v : values) {
      if (FoldName(v.name) == FoldName(opt.name)) picked.push_back(std::move(v));
    }
    values = std::move(picked);
  }
  const bool show = !opt.hasName || !values.empty();
  st->matches += values.size();
  if (show) {
    if (opt.json) {
      std::string obj = "{\"path\":" + Quoted(display) + ",\"values\":[";
      for (size_t i = 0; i < values.size(); ++i) obj += (i ? "," : "") + ValueJson(values[i]);
      obj += "],\"subkeys\":[";
      for (size_t i = 0; i < subKeys.size(); ++i) obj += (i ? "," : "") + Quoted(Child(display, subKeys[i]));
      st->jsonKeys.push_back(obj + "]}");
    } else {
      st->text += "\n" + display + "\n";
      for (const auto& v : values) {
        const std::string name = v.name.empty() ? "(Default)" : ToUtf8(v.name);
        st->text += "    " + name + "    " + TypeText(v.type) + "    " + DataText(v) + "\n";
      }
      if (!opt.recursive && !opt.hasName) {
        if (!subKeys.empty()) st->text += "\n";
        for (const auto& s : subKeys) st->text += Child(display, s) + "\n";
      }
    }
  }
  if (opt.recursive) {
    for (const auto& s : subKeys) {
      const uint32_t err = QueryKey(ChildSub(sub, s), Child(display, s), opt, st, failedKey);
      if (err != ERROR_SUCCESS) return err;
    }
  }
  return ERROR_SUCCESS;
}

// ---- export ----

/// A string value that a quoted .reg string reproduces byte for byte: one terminator at the very end,
/// no other zero and no line break.
bool IsPlainString(const Value& v) {
  if (v.type != platform::REG_SZ || v.data.size() < 2 || v.data.size() % 2 != 0) return false;
  const std::u16string text = Utf16Of(v.data);
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == u'\0' || text[i] == u'\r' || text[i] == u'\n') return false;
    if (text[i] >= 0xD800 && text[i] <= 0xDFFF) return false;  // surrogates would not survive UTF-8 output
  }
  return text.back() == u'\0';
}

std::string RegQuote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string ExportValue(const Value& v) {
  std::string line = v.name.empty() ? "@" : RegQuote(ToUtf8(v.name));
  line += "=";
  if (IsPlainString(v)) return line + RegQuote(StringOf(v.data)) + "\r\n";
  if (v.type == platform::REG_DWORD && v.data.size() == 4) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08" PRIx32, static_cast<uint32_t>(LittleEndian(v.data)));
    return line + buf + "\r\n";
  }
  if (v.type == platform::REG_BINARY) {
    line += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%" PRIx32 "):", v.type);
    line += buf;
  }
  // Long byte lists are folded as the registry editor does: a trailing backslash, then two spaces.
  std::string out;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < v.data.size(); ++i) {
    line += kDigits[v.data[i] >> 4];
    line += kDigits[v.data[i] & 15];
    if (i + 1 < v.data.size()) {
      line += ',';
      if (line.size() > 76) {
        out += line + "\\\r\n";
        line = "  ";
      }
    }
  }
  return out + line + "\r\n";
}

uint32_t ExportKey(const std::u16string& sub, const std::string& display, std::string* out, std::string* failedKey) {
  std::vector<Value> values;
  std::vector<std::u16string> subKeys;
  if (const uint32_t err = ReadKey(sub, display, &values, &subKeys, failedKey); err != ERROR_SUCCESS) return err;
  *out += "[" + display + "]\r\n";
  for (const auto& v : values) *out += ExportValue(v);
  *out += "\r\n";
  for (const auto& s : subKeys) {
    const uint32_t err = ExportKey(ChildSub(sub, s), Child(display, s), out, failedKey);
    if (err != ERROR_SUCCESS) return err;
  }
  return ERROR_SUCCESS;
}

// ---- delete ----

uint32_t DeleteTree(const std::u16string& sub, const std::string& display, std::string* failedKey) {
  std::vector<std::u16string> subKeys;
  {
    Key key;
    uint32_t err = platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, platform::KEY_READ, key.Out());
    if (err == ERROR_SUCCESS) err = ListKeys(key.Get(), &subKeys);
    if (err != ERROR_SUCCESS) {
      *failedKey = display;
      return err;
    }
  }
  for (const auto& s : subKeys) {
    const uint32_t err = DeleteTree(ChildSub(sub, s), Child(display, s), failedKey);
    if (err != ERROR_SUCCESS) return err;
  }
  const uint32_t err = platform::RegDeleteKeyW(HKEY_LOCAL_MACHINE, sub.c_str());
  if (err != ERROR_SUCCESS) *failedKey = display;
  return err;
}

// ---- the verbs ----

/// Options shared by the verbs, parsed from the words after KEY.
struct Args {
  std::vector<std::string> positional;
  QueryOptions query;
  AddData add;
  bool force = false;
  bool defaultValue = false;
  bool allValues = false;
  bool help = false;
  std::string error;
};

bool IsOption(const std::string& word, const char* name) {
  return word.size() >= 2 && (word[0] == '/' || word[0] == '-') && IEquals(std::string_view(word).substr(1), name);
}

Args ParseArgs(const std::string& verb, int argc, char** argv) {
  Args a;
  bool hasV = false;
  bool typeGiven = false;
  for (int i = 2; i < argc; ++i) {
    const std::string w = argv[i];
    auto next = [&](std::string* out) {
      if (i + 1 >= argc) {
        a.error = "missing argument after " + w;
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (w == "--help" || w == "-h" || w == "/?") {
      a.help = true;
    } else if (IsOption(w, "v")) {
      if (!next(&text)) break;
      a.query.hasName = hasV = true;
      a.query.name = FromUtf8(text);
    } else if (IsOption(w, "ve")) {
      a.defaultValue = true;
    } else if (verb == "delete" && IsOption(w, "va")) {
      a.allValues = true;
    } else if (IsOption(w, "f") && verb != "export") {
      a.force = true;
    } else if (IsOption(w, "y") && verb == "export") {
      a.force = true;
    } else if (IsOption(w, "s") && verb == "query") {
      a.query.recursive = true;
    } else if (w == "--json" && verb == "query") {
      a.query.json = true;
    } else if (verb == "add" && IsOption(w, "s")) {
      if (!next(&a.add.separator)) break;
    } else if (verb == "add" && IsOption(w, "t")) {
      if (!next(&text)) break;
      if (!ParseType(text, &a.add.type)) {
        a.error = "unknown type " + text;
        break;
      }
      typeGiven = true;
    } else if (verb == "add" && IsOption(w, "d")) {
      if (!next(&a.add.data)) break;
      a.add.hasData = true;
    } else if (verb == "add" && IsOption(w, "noterm")) {
      a.add.noTerm = true;
    } else if (verb == "add" && IsOption(w, "hex")) {
      if (!next(&a.add.hex)) break;
      a.add.hasHex = true;
    } else if (w.size() > 1 && ((w[0] == '/' && w.find('/', 1) == std::string::npos) || (w[0] == '-' && w != "-"))) {
      // A word with a second '/' is an absolute file name, not a misspelt option.
      a.error = "unknown option " + w;
      break;
    } else {
      a.positional.push_back(w);
    }
  }
  if (a.error.empty() && hasV && a.defaultValue) a.error = "/v and /ve exclude each other";
  if (a.error.empty() && a.allValues && (hasV || a.defaultValue)) a.error = "/va excludes /v and /ve";
  if (a.defaultValue) {
    a.query.hasName = true;
    a.query.name.clear();
  }
  // For `add`, /t, /d or /hex without /v writes the default value.
  if (verb == "add" && !hasV && (a.add.hasData || a.add.hasHex || typeGiven || a.defaultValue)) {
    a.query.hasName = true;
    a.query.name.clear();
  }
  return a;
}

int Query(const KeyArg& key, const Args& a) {
  QueryState st;
  std::string failed;
  const uint32_t err = QueryKey(key.sub, key.display, a.query, &st, &failed);
  if (err != ERROR_SUCCESS) return Fail(failed, err);
  if (a.query.hasName && st.matches == 0) {
    const std::string name = a.query.name.empty() ? "(Default)" : ToUtf8(a.query.name);
    return Fail(key.display + " value " + name, ERROR_FILE_NOT_FOUND);
  }
  if (a.query.json) {
    std::string out = "{\"keys\":[";
    for (size_t i = 0; i < st.jsonKeys.size(); ++i) out += (i ? "," : "") + st.jsonKeys[i];
    std::printf("%s]}\n", out.c_str());
  } else {
    std::printf("%s\n", st.text.c_str());
  }
  return 0;
}

int Add(const KeyArg& key, const Args& a) {
  std::vector<uint8_t> bytes;
  std::string error;
  const bool writeValue = a.query.hasName;
  if (writeValue && !EncodeData(a.add, &bytes, &error)) return Usage(error);
  Key handle;
  uint32_t disposition = 0;
  uint32_t err = platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.sub.c_str(), platform::KEY_WRITE | platform::KEY_READ,
                                           handle.Out(), &disposition);
  if (err != ERROR_SUCCESS) return Fail(key.display, err);
  if (writeValue) {
    const std::string what = key.display + " value " + (a.query.name.empty() ? "(Default)" : ToUtf8(a.query.name));
    if (!a.force) {
      uint32_t type = 0;
      err = platform::RegQueryValueExW(handle.Get(), a.query.name.c_str(), &type, nullptr, nullptr);
      if (err == ERROR_SUCCESS) {
        std::fprintf(stderr, "ERROR: %s exists; use /f to overwrite it\n", what.c_str());
        return 1;
      }
      if (err != ERROR_FILE_NOT_FOUND) return Fail(what, err);
    }
    err = platform::RegSetValueExW(handle.Get(), a.query.name.c_str(), a.add.type, bytes.data(),
                                   static_cast<uint32_t>(bytes.size()));
    if (err != ERROR_SUCCESS) return Fail(what, err);
  }
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Delete(const KeyArg& key, const Args& a) {
  if (!a.force) {
    std::fprintf(stderr, "ERROR: deleting from %s needs /f (there is no interactive confirmation)\n",
                 key.display.c_str());
    return 1;
  }
  std::string failed;
  uint32_t err = ERROR_SUCCESS;
  if (a.query.hasName || a.allValues) {
    Key handle;
    err = platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.sub.c_str(), 0, platform::KEY_READ | platform::KEY_SET_VALUE,
                                  handle.Out());
    if (err != ERROR_SUCCESS) return Fail(key.display, err);
    std::vector<std::u16string> names;
    if (a.allValues) {
      std::vector<Value> values;
      if ((err = ListValues(handle.Get(), &values)) != ERROR_SUCCESS) return Fail(key.display, err);
      for (auto& v : values) names.push_back(std::move(v.name));
    } else {
      names.push_back(a.query.name);
    }
    for (const auto& name : names) {
      err = platform::RegDeleteValueW(handle.Get(), name.c_str());
      if (err != ERROR_SUCCESS) {
        return Fail(key.display + " value " + (name.empty() ? std::string("(Default)") : ToUtf8(name)), err);
      }
    }
  } else if (key.sub.find(u'\\') == std::u16string::npos) {
    // The root and its hives stay; refuse before any sub-key of theirs is touched.
    return Fail(key.display, ERROR_ACCESS_DENIED);
  } else if ((err = DeleteTree(key.sub, key.display, &failed)) != ERROR_SUCCESS) {
    return Fail(failed, err);
  }
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Export(const KeyArg& key, const Args& a) {
  if (a.positional.size() != 2) return Usage("export needs KEY and FILE");
  const std::string& file = a.positional[1];
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  std::string failed;
  const uint32_t err = ExportKey(key.sub, key.display, &text, &failed);
  if (err != ERROR_SUCCESS) return Fail(failed, err);
  if (file == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  struct stat st {};
  if (!a.force && ::stat(file.c_str(), &st) == 0) {
    std::fprintf(stderr, "ERROR: %s exists; use /y to overwrite it\n", file.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes{0xFF, 0xFE};
  AppendUtf16(&bytes, FromUtf8(text));
  std::FILE* f = std::fopen(file.c_str(), "wb");
  if (f == nullptr) return Fail(file, Win32FromErrno(errno));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int closeRc = std::fclose(f);
  if (!written || closeRc != 0) return Fail(file, ERROR_CANTWRITE);
  std::printf("The operation completed successfully.\n");
  return 0;
}

}  // namespace

int RunRegCommand(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "/?") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 1 : 0;
  }
  std::string verb = argv[1];
  for (char& c : verb) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  const char* help = verb == "query"    ? kQueryHelp
                     : verb == "add"    ? kAddHelp
                     : verb == "delete" ? kDeleteHelp
                     : verb == "export" ? kExportHelp
                                        : nullptr;
  if (help == nullptr) return Usage("unknown verb " + verb);
  const Args a = ParseArgs(verb, argc, argv);
  if (a.help) {
    std::fputs(help, stdout);
    return 0;
  }
  if (!a.error.empty()) return Usage(a.error);
  if (a.positional.empty()) return Usage(verb + " needs a KEY");
  if (verb != "export" && a.positional.size() != 1) return Usage("unexpected argument " + a.positional[1]);
  KeyArg key;
  if (!ParseKey(a.positional[0], &key)) return Usage("invalid key name " + a.positional[0] + " (use HKLM\\...)");
  if (verb == "query") return Query(key, a);
  if (verb == "add") return Add(key, a);
  if (verb == "delete") return Delete(key, a);
  return Export(key, a);
}

}  // namespace kestrix::ctl
