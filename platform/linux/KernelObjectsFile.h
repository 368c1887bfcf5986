// The file behind one named kernel object: its name on disk, its header, and the locks that keep it alive.
//
// Every named object is a regular file in ObjectDir(). Two one-byte OFD locks on it carry the lifetime rules:
//   - the liveness byte: every holder keeps a read lock on it for as long as it holds the object, so the
//     object is alive exactly while that byte is read-locked; the kernel drops the lock of a holder that dies;
//   - the guard byte: write-locked for the short moment a process decides whether the object is alive and
//     creates, joins or removes it. Without it, a joiner could take its read lock just after the last holder
//     left and so revive an object that had already died (and whose file a closer is about to unlink).
// OFD locks (not POSIX record locks) belong to the open file, so two opens in one process do not merge, and a
// read lock converts to a write lock atomically.
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
  uint64_t reserved;
};
static_assert(sizeof(ObjectHeader) == 32);
static_assert(offsetof(ObjectHeader, kind) == 4);
static_assert(offsetof(ObjectHeader, headerSize) == 12);
static_assert(offsetof(ObjectHeader, dataSize) == 16);

inline constexpr uint32_t kObjectMagic = 0x4F54584B;  // "KXTO"
inline constexpr uint32_t kObjectVersion = 1;
inline constexpr size_t kPayloadOffset = 64;

/// The file name an object name maps to in ObjectDir(); false with the Win32 error in `error` for an empty or
/// overlong name.
/// "Global\" and "Local\" are dropped (every process here shares one session namespace); bytes outside
/// [A-Za-z0-9_-] and a leading '.' become %XX, so distinct names never share a file and none leaves the directory.
bool ObjectFileName(std::u16string_view name, std::string& fileName, uint32_t& error);

/// An open object file with its liveness read lock held. Closing it (destruction) drops the hold, and the last
/// holder removes the file.
class ObjectFile {
 public:
  /// Called on a new or dead-and-revived file, under the guard with the liveness byte write-locked: sizes the
  /// file (zero-filled) and writes the header and initial state. Returns a Win32 error, 0 on success.
  using Initialiser = uint32_t (*)(int fd, const ObjectHeader& header, void* context);

  /// Opens the object `name` of `kind`; when `create` is set a missing or dead object is made anew with
  /// `header` by `init` (`error` 0), and a live one is joined (`error` ERROR_ALREADY_EXISTS). Returns null with
  /// ERROR_FILE_NOT_FOUND (open of a missing object), ERROR_INVALID_HANDLE (another kind holds the name or the
  /// name is not a regular file), ERROR_ACCESS_DENIED (a symlink) or another Win32 error.
  static std::shared_ptr<ObjectFile> Acquire(std::u16string_view name, ObjectKind kind, bool create,
                                             uint64_t dataSize, Initialiser init, void* context,
                                             uint32_t& error);

  ~ObjectFile();
  ObjectFile(const ObjectFile&) = delete;
  ObjectFile& operator=(const ObjectFile&) = delete;

  int Fd() const { return m_fd; }
  const ObjectHeader& Header() const { return m_header; }
  dev_t Device() const { return m_dev; }
  ino_t Inode() const { return m_ino; }

 private:
  ObjectFile(int dirFd, int fd, std::string fileName, const ObjectHeader& header, dev_t dev, ino_t ino);

  int m_dirFd;
  int m_fd;
  std::string m_fileName;
  ObjectHeader m_header;
  dev_t m_dev;
  ino_t m_ino;
};

/// The size of the header page of every object file (the system page size).
size_t HeaderPageSize();

/// Maps `length` bytes of `fd` at `offset` read-write and shared; null with the Win32 error on failure.
void* MapShared(int fd, uint64_t offset, size_t length, uint32_t& error);

}  // namespace kestrix::platform::detail
