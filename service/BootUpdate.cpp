// Boot-time update scheduling on the registry store: command 242, the BootExecute list, the clean-up at service
// start and command 243.
#include "service/BootUpdate.h"

#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "common/ServiceKey.h"
#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/Power.h"
#include "platform/Registry.h"

namespace kestrix {

namespace {

using platform::HKEY;

constexpr char16_t kBootExecute[] = u"BootExecute";

/// A key of HKEY_LOCAL_MACHINE opened for reading and writing (never created), closed when it goes.
class OpenKey {
 public:
  explicit OpenKey(const char16_t* path) {
    if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path, 0, platform::KEY_READ | platform::KEY_WRITE,
                                &m_key) != ERROR_SUCCESS) {
      m_key = nullptr;
    }
  }
  ~OpenKey() { Close(); }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;

  explicit operator bool() const { return m_key != nullptr; }
  HKEY Get() const { return m_key; }
  void Close() {
    if (m_key != nullptr) {
      platform::RegCloseKey(m_key);
      m_key = nullptr;
    }
  }

 private:
  HKEY m_key = nullptr;
};

/// Reads BootExecute, whose size the caller learnt as `size` bytes, into S/2 + 1 zero-filled characters with a
/// byte count of (S/2) x 2: the buffer always ends with a zero character, whatever the stored bytes are. An
/// odd size makes the read ask for less than the value holds, so it fails and the list is left alone.
bool ReadList(HKEY key, uint32_t size, std::vector<char16_t>* list) {
  list->assign(size / 2 + 1, u'\0');
  uint32_t bytes = (size / 2) * 2;
  return platform::RegQueryValueExW(key, kBootExecute, nullptr, reinterpret_cast<uint8_t*>(list->data()), &bytes) ==
         ERROR_SUCCESS;
}

/// Calls `visit` with each entry before the list's first empty string. The walk stays inside the buffer even
/// when the stored list lacks its final empty string (the buffer's own last zero then ends the last entry).
template <class Visit>
void ForEachEntry(const std::vector<char16_t>& list, Visit visit) {
  std::size_t pos = 0;
  while (pos < list.size() && list[pos] != u'\0') {
    const std::u16string_view rest(list.data() + pos, list.size() - pos);
    const std::u16string_view entry = rest.substr(0, rest.find(u'\0'));  // found: the buffer ends with a zero
    visit(entry);
    pos += entry.size() + 1;
  }
}

bool WriteList(HKEY key, const std::vector<char16_t>& list, std::size_t chars) {
  if (chars > std::numeric_limits<uint32_t>::max() / 2) return false;
  return platform::RegSetValueExW(key, kBootExecute, platform::REG_MULTI_SZ,
                                  reinterpret_cast<const uint8_t*>(list.data()),
                                  static_cast<uint32_t>(chars * 2)) == ERROR_SUCCESS;
}

/// An entry is one string: a zero character inside the text given would end it there.
std::u16string_view WholeEntry(std::u16string_view entry) { return entry.substr(0, entry.find(u'\0')); }

bool WriteText(HKEY key, const char16_t* name, const std::u16string& text) {
  return platform::RegSetValueExW(key, name, platform::REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                                  static_cast<uint32_t>(text.size() * 2)) == ERROR_SUCCESS;
}

}  // namespace

void ScheduleBootUpdate(const ScheduleBootUpdateBlock& block) {
  constexpr std::size_t kAppChars = sizeof(block.szBootApp) / sizeof(char16_t);
  if (FieldLength(block.szBootApp, kAppChars) == kAppChars) return;

  OpenKey key(kServiceKeyPath);
  if (!key) return;
  const std::u16string app = FieldText(block.szBootApp, kAppChars);
  const std::u16string texts[] = {
      app,
      FieldText(block.szBootSerial, sizeof(block.szBootSerial) / sizeof(char16_t)),
      FieldText(block.szBootCurRev, sizeof(block.szBootCurRev) / sizeof(char16_t)),
      FieldText(block.szBootNewRev, sizeof(block.szBootNewRev) / sizeof(char16_t)),
      FieldText(block.szBootModel, sizeof(block.szBootModel) / sizeof(char16_t)),
      FieldText(block.szBootFWFile, sizeof(block.szBootFWFile) / sizeof(char16_t)),
  };
  static const char16_t* const kNames[] = {u"FW_NtApp", u"FW_Serial", u"FW_CurRev",
                                           u"FW_NewRev", u"FW_Model",  u"FW_FWFile"};
  bool allWritten = true;
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    if (!WriteText(key.Get(), kNames[i], texts[i])) {
      allWritten = false;
      break;
    }
  }
  key.Close();
  if (allWritten) AddBootExecute(app);
}

int AddBootExecute(std::u16string_view entry) {
  entry = WholeEntry(entry);
  OpenKey key(kSessionManagerKeyPath);
  if (!key) return 0;

  std::vector<char16_t> list(1, u'\0');  // a missing value is an empty list
  uint32_t size = 0;
  const uint32_t err = platform::RegQueryValueExW(key.Get(), kBootExecute, nullptr, nullptr, &size);
  if (err == ERROR_SUCCESS) {
    if (!ReadList(key.Get(), size, &list)) return 0;
  } else if (err != ERROR_FILE_NOT_FOUND) {
    // Only a value that is not there counts as empty: writing over one that could not be read would lose it.
    return 0;
  }

  std::size_t kept = 0;
  ForEachEntry(list, [&](std::u16string_view e) { kept += e.size() + 1; });
  const std::size_t chars = kept + entry.size() + 2;
  std::vector<char16_t> out(chars + 1, u'\0');
  std::memcpy(out.data(), list.data(), kept * sizeof(char16_t));
  std::memcpy(out.data() + kept, entry.data(), entry.size() * sizeof(char16_t));
  return WriteList(key.Get(), out, chars) ? 1 : 0;
}

int RemoveBootExecute(std::u16string_view entry) {
  entry = WholeEntry(entry);
  OpenKey key(kSessionManagerKeyPath);
  if (!key) return 0;

  uint32_t size = 0;
  if (platform::RegQueryValueExW(key.Get(), kBootExecute, nullptr, nullptr, &size) != ERROR_SUCCESS) return 0;
  std::vector<char16_t> list;
  if (!ReadList(key.Get(), size, &list)) return 0;

  // One character more than the list read: a stored list without its final zero can keep every entry, the
  // last one ended by the read buffer's own zero, and still needs the list's final zero after it.
  std::vector<char16_t> out(list.size() + 1, u'\0');
  std::size_t kept = 0;
  ForEachEntry(list, [&](std::u16string_view e) {
    if (EqualsIgnoreAsciiCase(e, entry)) return;
    std::memcpy(out.data() + kept, e.data(), e.size() * sizeof(char16_t));
    kept += e.size() + 1;
  });
  return WriteList(key.Get(), out, kept + 1) ? 1 : 0;
}

int FinishBootUpdate(uint32_t* shutdown) {
  if (shutdown != nullptr) *shutdown = 0;
  OpenKey key(kServiceKeyPath);
  if (!key) return 0;

  // Four bytes whatever the stored type; fewer bytes leave the rest zero.
  uint8_t raw[4] = {};
  uint32_t bytes = sizeof raw;
  uint32_t value = 0;
  if (platform::RegQueryValueExW(key.Get(), u"FW_Shutdown", nullptr, raw, &bytes) == ERROR_SUCCESS) {
    value = uint32_t{raw[0]} | uint32_t{raw[1]} << 8 | uint32_t{raw[2]} << 16 | uint32_t{raw[3]} << 24;
  }

  char16_t app[261] = {};
  bytes = 520;  // one character short of the buffer: the text read is always ended
  if (platform::RegQueryValueExW(key.Get(), u"FW_NtApp", nullptr, reinterpret_cast<uint8_t*>(app), &bytes) !=
      ERROR_SUCCESS) {
    app[0] = u'\0';
  }
  if (app[0] != u'\0') RemoveBootExecute(std::u16string_view(app));

  for (const char16_t* name :
       {u"FW_NtApp", u"FW_Serial", u"FW_CurRev", u"FW_NewRev", u"FW_Model", u"FW_FWFile", u"FW_Shutdown"}) {
    platform::RegDeleteValueW(key.Get(), name);
  }
  key.Close();
  if (shutdown != nullptr) *shutdown = value;
  return 1;
}

int EnableShutdownPrivilege() { return platform::EnableShutdownPrivilegeOnHost(); }

int ClearUpdateResult() {
  OpenKey key(kServiceKeyPath);
  if (!key) return 0;
  for (const char16_t* name : {u"FW_Result", u"FW_Error", u"FW_UpdRev"}) {
    platform::RegDeleteValueW(key.Get(), name);
  }
  return 1;
}

}  // namespace kestrix
