// The file behind one named kernel object: its name on disk, its header, the locks that keep it alive, and the
// per-process cache that lets a process take and drop its holds without a syscall or two per step.
//
// Every named object is a regular file in ObjectDir(). Two one-byte OFD locks on it carry the lifetime rules:
//   - the liveness byte: every holding process keeps a read lock on it for as long as it holds the object, so
//     the object is alive exactly while that byte is read-locked; the kernel drops the lock of a holder that
//     dies;
//   - the guard byte: write-locked while a process that has no quick answer (a first open, a name nobody seems
//     to hold, a joiner that met a creator at work) decides whether the object is alive and makes, revives or
//     joins it, so that those decisions are taken one at a time.
// Files are never removed: a dead object is a file whose liveness byte nobody read-locks, and the next
// creator revives it in place under the liveness write lock, which no holder can share, rewriting header and
// state (a section's data reads as zeros again). The header carries a `live` flag: a creator sets it, and a
// process that finds the object dead while only opening it clears it, so that a joiner that slipped its read
// lock in just after the last holder left can tell that it joined a dead object (see the cache's FastPath).
//
// Each process keeps one open file, one mapping of the header page and, for a section, one mapping of the
// data per object file, with a count of the handles and views of this process that hold it. Only the first
// hold of a process takes the liveness read lock and only the last drops it; the holds between cost nothing.
// An entry that no handle holds any more stays cached (idle, its lock dropped) so that the next hold of the
// same name is two fcntl calls; the oldest idle entries are closed beyond a small bound. As names are never
// unlinked, a cached descriptor keeps naming the object's file; deleting object files by hand while the
// system runs is not supported (the slow path notices it and opens the name anew).
// OFD locks (not POSIX record locks) belong to the open file, so they never merge with other opens, and a
// write lock converts to a read lock atomically.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrix::platform::detail {

enum class ObjectKind : uint32_t { Section = 1, Event = 2, Mutex = 3 };

/// The first bytes of every object file. The kind-specific state follows at kPayloadOffset; a section's data
/// starts at headerSize, which is a page multiple so that it can be mapped on its own.
struct ObjectHeader {
  uint32_t magic;
  uint32_t kind;
  uint32_t version;
  uint32_t headerSize;
  uint64_t dataSize;
  uint32_t live;  // 1 from its creation until a process finds it unheld while opening it
  uint32_t reserved;
};
static_assert(sizeof(ObjectHeader) == 32);
static_assert(offsetof(ObjectHeader, kind) == 4);
static_assert(offsetof(ObjectHeader, headerSize) == 12);
static_assert(offsetof(ObjectHeader, dataSize) == 16);
static_assert(offsetof(ObjectHeader, live) == 24);

inline constexpr uint32_t kObjectMagic = 0x4F54584B;  // "KXTO"
inline constexpr uint32_t kObjectVersion = 2;
inline constexpr size_t kPayloadOffset = 64;

/// How many object files a process keeps open and mapped while none of its handles holds them.
inline constexpr size_t kMaxIdleObjectFiles = 64;

/// The file name an object name maps to in ObjectDir(); false with the Win32 error in `error` for an empty or
/// overlong name.
/// "Global\" and "Local\" are dropped (every process here shares one session namespace); bytes outside
/// [A-Za-z0-9_-] and a leading '.' become %XX, so distinct names never share a file and none leaves the directory.
bool ObjectFileName(std::u16string_view name, std::string& fileName, uint32_t& error);

struct CachedObjectFile;

/// One hold of this process on a named object. Destroying it drops the hold; the last hold of the process
/// drops the liveness lock, so the object dies with the last hold of the last process.
class ObjectFile {
 public:
  /// Called on a new or dead-and-revived object, with the guard and the liveness byte write-locked, after the
  /// file was sized (the data reading as zeros), the header page zeroed and the header written: writes the
  /// kind's initial state into `page` (the mapped header page). Returns a Win32 error, 0 on success.
  using Initialiser = uint32_t (*)(uint8_t* page, void* context);

  /// Opens the object `name` of `kind`; when `create` is set a missing or dead object is made anew with
  /// `dataSize` bytes of data by `init` (`error` 0), and a live one is joined (`error` ERROR_ALREADY_EXISTS).
  /// Returns null with ERROR_FILE_NOT_FOUND (open of a missing or dead object), ERROR_INVALID_HANDLE (another
  /// kind holds the name or the name is not a regular file), ERROR_ACCESS_DENIED (a symlink) or another Win32
  /// error.
  static std::shared_ptr<ObjectFile> Acquire(std::u16string_view name, ObjectKind kind, bool create,
                                             uint64_t dataSize, Initialiser init, void* context,
                                             uint32_t& error);

  ~ObjectFile();
  ObjectFile(const ObjectFile&) = delete;
  ObjectFile& operator=(const ObjectFile&) = delete;

  /// The header as it was when this hold was taken; it cannot change while any hold lasts.
  const ObjectHeader& Header() const { return m_header; }
  /// The mapped header page (the kind's state lives at kPayloadOffset); valid while this hold lasts.
  uint8_t* Page() const { return m_page; }
  /// The mapped data of a section (Header().dataSize bytes), null for other kinds; valid while this hold lasts.
  uint8_t* Data() const { return m_data; }

 private:
  explicit ObjectFile(CachedObjectFile* file);

  CachedObjectFile* m_file;
  ObjectHeader m_header;
  uint8_t* m_page;
  uint8_t* m_data;
};

/// The size of the header page of every object file (the system page size).
size_t HeaderPageSize();

}  // namespace kestrix::platform::detail
