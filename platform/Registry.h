// The registry store: Windows registry semantics (keys, typed values, the query's byte-count rules) on a durable database.
//
// Key and value names compare without regard to case; values keep the exact bytes and type they were written
// with (a REG_SZ written without its terminator stays so). The store is one database shared by the service
// (root, read and write) and every other process (read only: asking for KEY_WRITE in an unprivileged
// process fails with ERROR_ACCESS_DENIED). A new store holds the tree the operating system would have.
// All functions return a Win32 error number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrix::platform {

struct RegKey;
using HKEY = RegKey*;

/// The predefined root; the only one this system uses.
extern const HKEY HKEY_LOCAL_MACHINE;

inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_NOTIFY = 0x0010;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

inline constexpr uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

/// Opens an existing key below `parent` (a path of names separated by '\'; empty or null opens `parent`
/// again). Never creates. ERROR_FILE_NOT_FOUND when the key does not exist; ERROR_ACCESS_DENIED when
/// write access is asked for by an unprivileged process. On success *result owns a handle for RegCloseKey.
uint32_t RegOpenKeyExW(HKEY parent, const char16_t* subKey, uint32_t options, uint32_t samDesired, HKEY* result);

/// Opens a key, creating it and its missing ancestors. For installers and administration, not for the
/// system's own operations. *disposition (may be null) tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
uint32_t RegCreateKeyExW(HKEY parent, const char16_t* subKey, uint32_t samDesired, HKEY* result,
                         uint32_t* disposition);

/// Closes a handle; the predefined root is accepted and ignored.
uint32_t RegCloseKey(HKEY key);

/// Reads a value (null or empty name: the key's default value).
/// - data null, cbData given: *cbData receives the size, ERROR_SUCCESS.
/// - data given, cbData null: ERROR_INVALID_PARAMETER.
/// - buffer too small: ERROR_MORE_DATA, *cbData receives the size, the buffer is left as it was.
/// - otherwise the exact stored bytes are copied and *cbData receives their count.
/// - no such value: ERROR_FILE_NOT_FOUND. *type (may be null) receives the stored type whenever the value exists.
uint32_t RegQueryValueExW(HKEY key, const char16_t* valueName, uint32_t* type, uint8_t* data, uint32_t* cbData);

/// Writes a value with exactly `cbData` bytes of `data` and the given type; needs a handle opened for writing.
uint32_t RegSetValueExW(HKEY key, const char16_t* valueName, uint32_t type, const uint8_t* data, uint32_t cbData);

/// Deletes a value; ERROR_FILE_NOT_FOUND when it does not exist.
uint32_t RegDeleteValueW(HKEY key, const char16_t* valueName);

/// Deletes a key that has no sub-keys (ERROR_ACCESS_DENIED when it has some, as on Windows).
uint32_t RegDeleteKeyW(HKEY parent, const char16_t* subKey);

/// The name of the index-th sub-key in name order; ERROR_NO_MORE_ITEMS past the last.
uint32_t RegEnumKeyExW(HKEY key, uint32_t index, std::u16string* name);

/// The index-th value in name order with its type and bytes; ERROR_NO_MORE_ITEMS past the last.
uint32_t RegEnumValueW(HKEY key, uint32_t index, std::u16string* name, uint32_t* type, std::vector<uint8_t>* data);

}  // namespace kestrix::platform
