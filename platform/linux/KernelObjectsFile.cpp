// Named kernel objects on Linux: how a name becomes a file in the object directory and how holders keep it alive.
#include "platform/linux/KernelObjectsFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/Paths.h"

namespace kestrix::platform::detail {

namespace {

constexpr off_t kGuardByte = 0;
constexpr off_t kLivenessByte = 1;

// A name that other processes keep removing and re-creating under us is given up on after this many
// rounds instead of being spun on for ever.
constexpr int kMaxAttempts = 1000;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  void Reset(int fd = -1) {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_fd = fd;
  }
  int Get() const { return m_fd; }
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  explicit operator bool() const { return m_fd >= 0; }

 private:
  int m_fd;
};

/// Places (or with F_UNLCK drops) an OFD lock on one byte. Without `wait` a conflict fails with EAGAIN.
bool SetLock(int fd, off_t byte, short type, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

/// True when `fileName` in the directory still names the inode (dev, ino): it was not removed or replaced.
bool NamesFile(int dirFd, const std::string& fileName, dev_t dev, ino_t ino) {
  struct stat st {};
  return ::fstatat(dirFd, fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev &&
         st.st_ino == ino;
}

bool IsPlain(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' ||
         c == u'_';
}

void AppendHex(std::string& out, uint32_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out.push_back(kHex[(value >> shift) & 0xF]);
  }
}

/// Makes a new or dead file the fresh object: emptied, then sized (reading as zeros), header written.
uint32_t Reinitialise(int fd, const ObjectHeader& header) {
  const off_t total = static_cast<off_t>(header.headerSize + header.dataSize);
  if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, total) != 0) {
    return errno == EFBIG ? ERROR_NOT_ENOUGH_MEMORY : Win32FromErrno(errno);
  }
  // Reserve the memory now, as Windows commits a section when it is made: a full tmpfs then fails the
  // creation instead of killing a later writer with SIGBUS. File systems without fallocate just skip it.
  if (::fallocate(fd, 0, 0, total) != 0 && (errno == ENOSPC || errno == EDQUOT)) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (::pwrite(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    return ERROR_GEN_FAILURE;
  }
  return ERROR_SUCCESS;
}

}  // namespace

size_t HeaderPageSize() {
  static const size_t pageSize = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return pageSize;
}

void* MapShared(int fd, uint64_t offset, size_t length, uint32_t& error) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (p == MAP_FAILED) {
    error = Win32FromErrno(errno);
    return nullptr;
  }
  error = ERROR_SUCCESS;
  return p;
}

bool ObjectFileName(std::u16string_view name, std::string& fileName, uint32_t& error) {
  for (std::u16string_view prefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
    if (name.size() >= prefix.size() && EqualsIgnoreAsciiCase(name.substr(0, prefix.size()), prefix)) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  if (name.empty()) {
    error = ERROR_INVALID_NAME;
    return false;
  }
  // Escaping works on UTF-16 units so that every name, an unpaired surrogate included, gets its own file:
  // %XX for units below 0x100, %uXXXX above ('u' is no hex digit, so the two forms never read alike).
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (IsPlain(c) || (c == u'.' && i > 0)) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x100) {
      out.push_back('%');
      AppendHex(out, c, 2);
    } else {
      out += "%u";
      AppendHex(out, c, 4);
    }
    if (out.size() > NAME_MAX) {
      error = ERROR_FILENAME_EXCED_RANGE;
      return false;
    }
  }
  fileName = std::move(out);
  error = ERROR_SUCCESS;
  return true;
}

ObjectFile::ObjectFile(int dirFd, int fd, std::string fileName, const ObjectHeader& header, dev_t dev, ino_t ino)
    : m_dirFd(dirFd), m_fd(fd), m_fileName(std::move(fileName)), m_header(header), m_dev(dev), m_ino(ino) {}

ObjectFile::~ObjectFile() {
  // The last holder removes the name. The guard keeps a joiner from slipping in between the test and the
  // unlink. In the sticky directory only the file's owner may unlink it; when another user's holder is last,
  // the file stays behind, dead by the lock rule, and the next creator revives it.
  if (SetLock(m_fd, kGuardByte, F_WRLCK, true) && SetLock(m_fd, kLivenessByte, F_WRLCK, false) &&
      NamesFile(m_dirFd, m_fileName, m_dev, m_ino)) {
    ::unlinkat(m_dirFd, m_fileName.c_str(), 0);
  }
  // Closing the descriptor drops the guard and the liveness lock together.
  ::close(m_fd);
  ::close(m_dirFd);
}

std::shared_ptr<ObjectFile> ObjectFile::Acquire(std::u16string_view name, ObjectKind kind, bool create,
                                                uint64_t dataSize, Initialiser init, void* context,
                                                uint32_t& error) {
  std::string fileName;
  if (!ObjectFileName(name, fileName, error)) {
    return nullptr;
  }
  const size_t pageSize = HeaderPageSize();
  if (dataSize > static_cast<uint64_t>(LLONG_MAX) - pageSize) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  const auto dir = ObjectDir();
  if (create) {
    // World-writable and sticky: every user makes objects here, and nobody removes another's file.
    error = EnsureDirectory(dir, 01777);
    if (error != ERROR_SUCCESS) {
      return nullptr;
    }
  }
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) {
    error = Win32FromErrno(errno);
    return nullptr;
  }

  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // Never follow a link planted under the name, and never open what is not a regular file (a fifo would
    // block, a device would act). O_NOFOLLOW and the fstat below close the gap after this first look.
    struct stat st {};
    if (::fstatat(dirFd.Get(), fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(st.st_mode)) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
      }
      if (!S_ISREG(st.st_mode)) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
      }
    }
    UniqueFd fd(::openat(dirFd.Get(), fileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
      if (errno == ELOOP) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
      }
      if (errno != ENOENT) {
        error = Win32FromErrno(errno);
        return nullptr;
      }
      if (!create) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
      }
      // O_CREAT only together with O_EXCL: opening another user's file with O_CREAT in a sticky directory
      // is refused where fs.protected_regular is on, and an existing file is taken by the path above anyway.
      fd.Reset(::openat(dirFd.Get(), fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (!fd) {
        if (errno == EEXIST) {
          continue;
        }
        error = Win32FromErrno(errno);
        return nullptr;
      }
      // The umask must not narrow the mode: every user and session opens these objects (the null DACL).
      ::fchmod(fd.Get(), 0666);
    }
    if (::fstat(fd.Get(), &st) != 0) {
      error = Win32FromErrno(errno);
      return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
      error = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    if (!SetLock(fd.Get(), kGuardByte, F_WRLCK, true)) {
      error = Win32FromErrno(errno);
      return nullptr;
    }
    if (!NamesFile(dirFd.Get(), fileName, st.st_dev, st.st_ino)) {
      continue;  // its last holder removed it (or someone replaced it) before we got the guard
    }
    // A creator may have sized it while we waited for the guard.
    if (::fstat(fd.Get(), &st) != 0) {
      error = Win32FromErrno(errno);
      return nullptr;
    }

    // Under the guard nobody creates, joins or removes this object; the liveness byte tells if anyone holds it.
    if (SetLock(fd.Get(), kLivenessByte, F_WRLCK, false)) {
      // Nobody does: it was just made, or it is the dead file of a holder that could not remove it.
      if (!create) {
        ::unlinkat(dirFd.Get(), fileName.c_str(), 0);
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
      }
      const ObjectHeader header{kObjectMagic, static_cast<uint32_t>(kind), kObjectVersion,
                                static_cast<uint32_t>(pageSize), dataSize, 0};
      error = Reinitialise(fd.Get(), header);
      if (error == ERROR_SUCCESS && init != nullptr) {
        error = init(fd.Get(), header, context);
      }
      if (error != ERROR_SUCCESS) {
        ::unlinkat(dirFd.Get(), fileName.c_str(), 0);
        return nullptr;
      }
      // Write lock to read lock in one step: no other process can find the object unheld in between.
      if (!SetLock(fd.Get(), kLivenessByte, F_RDLCK, false) || !SetLock(fd.Get(), kGuardByte, F_UNLCK, false)) {
        error = Win32FromErrno(errno);
        return nullptr;
      }
      error = ERROR_SUCCESS;
      const int rawDir = dirFd.Release();
      const int rawFd = fd.Release();
      return std::shared_ptr<ObjectFile>(
          new ObjectFile(rawDir, rawFd, std::move(fileName), header, st.st_dev, st.st_ino));
    }
    if (errno != EAGAIN && errno != EACCES) {
      error = Win32FromErrno(errno);
      return nullptr;
    }

    // Someone holds it: join. Only holders' read locks can be on the liveness byte while we hold the guard.
    if (!SetLock(fd.Get(), kLivenessByte, F_RDLCK, false)) {
      error = ERROR_SHARING_VIOLATION;
      return nullptr;
    }
    ObjectHeader header{};
    if (::pread(fd.Get(), &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        header.magic != kObjectMagic || header.version != kObjectVersion) {
      error = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    if (header.kind != static_cast<uint32_t>(kind)) {
      error = ERROR_INVALID_HANDLE;  // the name belongs to an object of another kind
      return nullptr;
    }
    // The header was written by another process; a mapping must never reach past the end of the file.
    if (header.headerSize != pageSize || header.dataSize > static_cast<uint64_t>(LLONG_MAX) - pageSize ||
        static_cast<uint64_t>(st.st_size) < header.headerSize + header.dataSize) {
      error = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    if (!SetLock(fd.Get(), kGuardByte, F_UNLCK, false)) {
      error = Win32FromErrno(errno);
      return nullptr;
    }
    error = create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    const int rawDir = dirFd.Release();
    const int rawFd = fd.Release();
    return std::shared_ptr<ObjectFile>(
        new ObjectFile(rawDir, rawFd, std::move(fileName), header, st.st_dev, st.st_ino));
  }
  error = ERROR_SHARING_VIOLATION;
  return nullptr;
}

}  // namespace kestrix::platform::detail
