// Named kernel objects on Linux: how a name becomes a file in the object directory, how holders keep it alive,
// and the per-process cache of object files that makes taking and dropping a hold cheap.
#include "platform/linux/KernelObjectsFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <unordered_map>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/Paths.h"

namespace kestrix::platform::detail {

namespace {

constexpr off_t kGuardByte = 0;
constexpr off_t kLivenessByte = 1;

// A name whose state keeps changing under us (holders coming and going while we look) is given up on after
// this many rounds instead of being spun on for ever.
constexpr int kMaxAttempts = 1000;

/// Places (or with F_UNLCK drops) an OFD lock on `length` bytes from `start`. Without `wait` a conflict fails
/// with EAGAIN.
bool SetLock(int fd, off_t start, off_t length, short type, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

/// The guard and the liveness byte are adjacent, so one call takes or drops both.
bool LockBoth(int fd, short type) { return SetLock(fd, kGuardByte, 2, type, false); }

/// True when another open file description read-locks the liveness byte, i.e. some other process holds the
/// object (our own description's locks never conflict with the probe).
bool OtherHolderSeen(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLivenessByte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_RDLCK;
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

/// An open object directory, shared by the cached files in it.
struct CachedDir {
  CachedDir(int fd, dev_t dev, ino_t ino) : fd(fd), dev(dev), ino(ino) {}
  ~CachedDir() { ::close(fd); }
  CachedDir(const CachedDir&) = delete;
  CachedDir& operator=(const CachedDir&) = delete;
  int fd;
  dev_t dev;
  ino_t ino;
};

std::atomic_ref<uint32_t> LiveFlag(uint8_t* page) {
  return std::atomic_ref<uint32_t>(reinterpret_cast<ObjectHeader*>(page)->live);
}

}  // namespace

/// One object file as this process has it open: descriptor, mappings and the count of this process's holds.
struct CachedObjectFile {
  std::string path;  // the key: ObjectDir() / fileName, as tests switch the root within one process
  std::string fileName;
  std::shared_ptr<CachedDir> dir;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  uint8_t* page = nullptr;  // the header page, mapped once the file is at least that long
  uint8_t* data = nullptr;  // a section's data, mapped when it is joined or made
  size_t dataLength = 0;
  ObjectHeader header{};  // as of the first hold of the current run of holds
  size_t holds = 0;       // handles, views and owned mutex levels of this process
  bool detached = false;  // inherited through fork: its descriptor and locks are the parent's
  std::list<CachedObjectFile*>::iterator idlePos;  // its place among the idle entries while holds is 0
};

namespace {

enum class Step {
  Joined,     // a liveness read lock is ours and the header checked
  Dead,       // guard and liveness byte write-locked by us: nobody holds the object
  Unheld,     // the liveness byte write-locked by us (without the guard): nobody holds the object
  Slow,       // decide under the guard
  Again,      // the entry was dropped or the state moved on; look again
  Failed,     // `error` says why
};

class ObjectCache {
 public:
  static ObjectCache& Instance() {
    // Never destroyed: handles may still be dropped while the process exits.
    static ObjectCache* cache = [] {
      auto* c = new ObjectCache;
      ::pthread_atfork([] { Instance().m_lock.lock(); }, [] { Instance().m_lock.unlock(); },
                       [] { Instance().AfterForkInChild(); });
      return c;
    }();
    return *cache;
  }

  CachedObjectFile* Acquire(const std::filesystem::path& dirPath, const std::string& fileName, ObjectKind kind,
                            bool create, uint64_t dataSize, ObjectFile::Initialiser init, void* context,
                            uint32_t& error) {
    const std::string path = (dirPath / fileName).string();
    std::lock_guard lock(m_lock);
    CachedObjectFile* result = nullptr;
    for (int attempt = 0; attempt < kMaxAttempts && result == nullptr; ++attempt) {
      CachedObjectFile* f = nullptr;
      bool fresh = false;
      if (auto it = m_files.find(path); it != m_files.end()) {
        f = it->second.get();
      } else {
        f = OpenFile(dirPath, fileName, path, create, error);
        if (f == nullptr) {
          break;
        }
        fresh = true;
      }
      if (f->holds > 0) {
        // This process holds it already: the object is alive and its header cannot change; share the hold.
        if (f->header.kind != static_cast<uint32_t>(kind)) {
          error = ERROR_INVALID_HANDLE;
          break;
        }
        Take(f);
        error = create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
        result = f;
        break;
      }
      Step step = fresh ? Step::Slow : FastPath(*f, kind, create, error);
      bool made = false;
      if (step == Step::Slow) {
        step = SlowPath(*f, kind, error);
      }
      if (step == Step::Dead || step == Step::Unheld) {
        step = OnDead(*f, kind, create, dataSize, init, context, step == Step::Dead, made, error);
      }
      switch (step) {
        case Step::Joined:
          Take(f);
          result = f;
          error = create && !made ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
          break;
        case Step::Again:
          continue;
        default:
          attempt = kMaxAttempts;  // failed, `error` set
          break;
      }
    }
    if (result == nullptr && error == ERROR_SUCCESS) {
      error = ERROR_SHARING_VIOLATION;
    }
    Prune();
    return result;
  }

  void Release(CachedObjectFile* f) {
    std::lock_guard lock(m_lock);
    if (--f->holds > 0) {
      return;
    }
    if (f->detached) {
      Unmap(*f);
      ::close(f->fd);
      delete f;
      return;
    }
    // The last hold of this process: drop the liveness lock and keep the entry for the next hold. No guard is
    // needed. A joiner that saw our read lock before this unlock is ordered before our close and keeps the
    // object alive with its own lock; one that looks after it finds no holder (or a reviver's write lock) and
    // decides under the guard, as does anyone who would revive the object.
    if (!SetLock(f->fd, kLivenessByte, 1, F_UNLCK, false)) {
      // Closing the descriptor drops every lock on it; the entry cannot stay.
      m_idle.push_front(f);
      f->idlePos = m_idle.begin();
      Evict(f);
      return;
    }
    m_idle.push_front(f);
    f->idlePos = m_idle.begin();
    Prune();
  }

 private:
  void Take(CachedObjectFile* f) {
    if (f->holds++ == 0) {
      m_idle.erase(f->idlePos);
    }
  }

  static void Unmap(CachedObjectFile& f) {
    if (f.data != nullptr) {
      ::munmap(f.data, f.dataLength);
      f.data = nullptr;
      f.dataLength = 0;
    }
    if (f.page != nullptr) {
      ::munmap(f.page, HeaderPageSize());
      f.page = nullptr;
    }
  }

  /// Closes an idle entry: its mappings, its descriptor, and its directory when no other entry uses it.
  void Evict(CachedObjectFile* f) {
    m_idle.erase(f->idlePos);
    Unmap(*f);
    ::close(f->fd);
    m_files.erase(f->path);  // destroys f
  }

  void Prune() {
    while (m_idle.size() > kMaxIdleObjectFiles) {
      Evict(m_idle.back());
    }
    for (auto it = m_dirs.begin(); it != m_dirs.end();) {
      it = it->second.use_count() == 1 && it->first != m_lastDir ? m_dirs.erase(it) : std::next(it);
    }
  }

  /// The open object directory, opened anew when the path no longer names the directory we hold open.
  std::shared_ptr<CachedDir> Directory(const std::filesystem::path& dirPath, uint32_t& error) {
    m_lastDir = dirPath.string();
    struct stat st {};
    if (::stat(dirPath.c_str(), &st) != 0) {
      error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32FromErrno(errno);
      return nullptr;
    }
    if (auto it = m_dirs.find(m_lastDir); it != m_dirs.end()) {
      if (it->second->dev == st.st_dev && it->second->ino == st.st_ino) {
        return it->second;
      }
      m_dirs.erase(it);  // its entries keep their own reference until they go
    }
    const int fd = ::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      error = Win32FromErrno(errno);
      if (fd >= 0) {
        ::close(fd);
      }
      return nullptr;
    }
    auto dir = std::make_shared<CachedDir>(fd, st.st_dev, st.st_ino);
    m_dirs.emplace(m_lastDir, dir);
    return dir;
  }

  /// Opens (or, for `create`, makes) the file of a name this process has no entry for, and enters it idle.
  CachedObjectFile* OpenFile(const std::filesystem::path& dirPath, const std::string& fileName,
                             const std::string& path, bool create, uint32_t& error) {
    if (create) {
      // World-writable and sticky: every user makes objects here, and nobody removes another's file.
      error = EnsureDirectory(dirPath, 01777);
      if (error != ERROR_SUCCESS) {
        return nullptr;
      }
    }
    auto dir = Directory(dirPath, error);
    if (dir == nullptr) {
      return nullptr;
    }
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      // Never follow a link planted under the name, and never open what is not a regular file (a fifo would
      // block, a device would act). O_NOFOLLOW and the fstat below close the gap after this first look.
      struct stat st {};
      if (::fstatat(dir->fd, fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
          error = ERROR_ACCESS_DENIED;
          return nullptr;
        }
        if (!S_ISREG(st.st_mode)) {
          error = ERROR_INVALID_HANDLE;
          return nullptr;
        }
      }
      int fd = ::openat(dir->fd, fileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
      if (fd < 0) {
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
        fd = ::openat(dir->fd, fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
          if (errno == EEXIST) {
            continue;
          }
          error = Win32FromErrno(errno);
          return nullptr;
        }
        // The umask must not narrow the mode: every user and session opens these objects (the null DACL).
        ::fchmod(fd, 0666);
      }
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISREG(st.st_mode) ? Win32FromErrno(errno) : ERROR_INVALID_HANDLE;
        ::close(fd);
        return nullptr;
      }
      auto entry = std::make_unique<CachedObjectFile>();
      entry->path = path;
      entry->fileName = fileName;
      entry->dir = std::move(dir);
      entry->fd = fd;
      entry->dev = st.st_dev;
      entry->ino = st.st_ino;
      CachedObjectFile* f = entry.get();
      m_files.emplace(path, std::move(entry));
      m_idle.push_front(f);
      f->idlePos = m_idle.begin();
      return f;
    }
    error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }

  bool MapPage(CachedObjectFile& f, uint32_t& error) {
    if (f.page == nullptr) {
      void* p = ::mmap(nullptr, HeaderPageSize(), PROT_READ | PROT_WRITE, MAP_SHARED, f.fd, 0);
      if (p == MAP_FAILED) {
        error = Win32FromErrno(errno);
        return false;
      }
      f.page = static_cast<uint8_t*>(p);
    }
    return true;
  }

  /// Maps a section's `dataSize` bytes after the header page, once; a section revived with another size is
  /// mapped anew (only ever while this process holds nothing of it, so no view points into the old mapping).
  bool MapData(CachedObjectFile& f, uint64_t dataSize, uint32_t& error) {
    if (f.data != nullptr && f.dataLength == dataSize) {
      return true;
    }
    if (f.data != nullptr) {
      ::munmap(f.data, f.dataLength);
      f.data = nullptr;
      f.dataLength = 0;
    }
    if (dataSize == 0) {
      return true;
    }
    if (dataSize > SIZE_MAX) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    void* p = ::mmap(nullptr, static_cast<size_t>(dataSize), PROT_READ | PROT_WRITE, MAP_SHARED, f.fd,
                     static_cast<off_t>(HeaderPageSize()));
    if (p == MAP_FAILED) {
      error = Win32FromErrno(errno);
      return false;
    }
    f.data = static_cast<uint8_t*>(p);
    f.dataLength = static_cast<size_t>(dataSize);
    return true;
  }

  /// Checks the header of an object we have just read-locked: Joined (header taken, a section's data mapped),
  /// Dead when the object was found dead by an opener since its last creation (the read lock is then
  /// worthless), Slow for a header that cannot be trusted without the guard, Failed with ERROR_INVALID_HANDLE
  /// for another kind. `size` is the file's length when known, else -1.
  Step CheckJoin(CachedObjectFile& f, ObjectKind kind, off_t size, uint32_t& error) {
    const size_t pageSize = HeaderPageSize();
    ObjectHeader h{};
    std::memcpy(&h, f.page, sizeof h);
    if (h.magic != kObjectMagic || h.version != kObjectVersion || h.headerSize != pageSize ||
        h.dataSize > static_cast<uint64_t>(LLONG_MAX) - pageSize) {
      return Step::Slow;
    }
    if (h.live != 1) {
      return Step::Dead;
    }
    if (h.kind != static_cast<uint32_t>(kind)) {
      error = ERROR_INVALID_HANDLE;  // the name belongs to an object of another kind
      return Step::Failed;
    }
    if (kind == ObjectKind::Section) {
      // The header was written by another process; a mapping must never reach past the end of the file.
      if (f.data == nullptr || f.dataLength != h.dataSize || size >= 0) {
        struct stat st {};
        if (size < 0) {
          if (::fstat(f.fd, &st) != 0) {
            error = Win32FromErrno(errno);
            return Step::Failed;
          }
          size = st.st_size;
        }
        if (static_cast<uint64_t>(size) < h.headerSize + h.dataSize) {
          return Step::Slow;
        }
      }
      if (!MapData(f, h.dataSize, error)) {
        return Step::Failed;
      }
    } else if (f.data != nullptr) {
      MapData(f, 0, error);  // the file was a section in an earlier life
    }
    f.header = h;
    return Step::Joined;
  }

  // The fast ways for an idle entry, which need no guard.
  //
  // Join: probe for another holder's read lock, and if there is one, take ours next to it. A holder may close
  // between the probe and our lock. That is harmless: our join is ordered before that close (we saw the object
  // alive), and nobody can have found the object dead in between without leaving a trace: reviving it needs
  // the liveness write lock, which then either still blocks our read lock (we fall back to the guard) or has
  // turned into the reviver's read lock, and we simply joined the new object (the header is read after our
  // lock); an opener that found it dead cleared the `live` flag, which we then see, drop our lock and decide
  // under the guard. A joiner that saw our short-lived lock in turn sees the same flag.
  //
  // Revive: a creator first tries to write-lock the liveness byte. If that succeeds nobody holds the object,
  // and until the lock turns into our read lock nobody can join it or judge it: the write lock excludes every
  // other read or write lock on the byte. The guard is not needed for that; a process deciding under the
  // guard meanwhile waits for our read lock (see SlowPath).
  Step FastPath(CachedObjectFile& f, ObjectKind kind, bool create, uint32_t& error) {
    if (f.page == nullptr) {
      return Step::Slow;
    }
    if (create && SetLock(f.fd, kLivenessByte, 1, F_WRLCK, false)) {
      return Step::Unheld;
    }
    if (!OtherHolderSeen(f.fd) || !SetLock(f.fd, kLivenessByte, 1, F_RDLCK, false)) {
      return Step::Slow;  // nobody holds it, or a reviver is at work: decide under the guard
    }
    const Step step = CheckJoin(f, kind, -1, error);
    if (step != Step::Joined) {
      SetLock(f.fd, kLivenessByte, 1, F_UNLCK, false);
      if (step == Step::Dead) {
        return Step::Slow;
      }
    }
    return step;
  }

  /// Decides under the guard. Ends with the guard dropped, except on Dead.
  Step SlowPath(CachedObjectFile& f, ObjectKind kind, uint32_t& error) {
    if (!SetLock(f.fd, kGuardByte, 1, F_WRLCK, true)) {
      error = Win32FromErrno(errno);
      return Step::Failed;
    }
    struct stat st {};
    if (::fstatat(f.dir->fd, f.fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != f.dev ||
        st.st_ino != f.ino) {
      // The name no longer leads to our file (it was deleted or replaced by hand): open it afresh.
      SetLock(f.fd, kGuardByte, 1, F_UNLCK, false);
      Evict(&f);
      return Step::Again;
    }
    // Under the guard nobody creates, revives or judges this object; the liveness byte tells if anyone holds it.
    if (SetLock(f.fd, kLivenessByte, 1, F_WRLCK, false)) {
      return Step::Dead;
    }
    if (errno != EAGAIN && errno != EACCES) {
      error = Win32FromErrno(errno);
      LockBoth(f.fd, F_UNLCK);
      return Step::Failed;
    }
    // Someone holds it: join. A creator reviving the object on the fast path may hold the write lock without
    // the guard; then wait for it to become its read lock (or to go, when the creation failed: the header's
    // live flag then says so).
    if (!SetLock(f.fd, kLivenessByte, 1, F_RDLCK, false) && !SetLock(f.fd, kLivenessByte, 1, F_RDLCK, true)) {
      error = Win32FromErrno(errno);
      LockBoth(f.fd, F_UNLCK);
      return Step::Failed;
    }
    // Its length only now: a creator may have sized it while we waited for the guard or the lock.
    if (::fstat(f.fd, &st) != 0) {
      error = Win32FromErrno(errno);
      LockBoth(f.fd, F_UNLCK);
      return Step::Failed;
    }
    const off_t size = st.st_size;
    if (static_cast<size_t>(size) < HeaderPageSize()) {
      error = ERROR_INVALID_HANDLE;  // held, yet too short to be an object file of ours
      LockBoth(f.fd, F_UNLCK);
      return Step::Failed;
    }
    if (!MapPage(f, error)) {
      LockBoth(f.fd, F_UNLCK);
      return Step::Failed;
    }
    switch (CheckJoin(f, kind, size, error)) {
      case Step::Joined:
        SetLock(f.fd, kGuardByte, 1, F_UNLCK, false);
        return Step::Joined;
      case Step::Dead:
        // Only joiners that slipped in after an opener found the object dead hold it (or a creator failed);
        // they let go at once.
        LockBoth(f.fd, F_UNLCK);
        ::sched_yield();
        return Step::Again;
      case Step::Slow:
        error = ERROR_INVALID_HANDLE;  // held, but its header is not one of ours
        [[fallthrough]];
      default:
        LockBoth(f.fd, F_UNLCK);
        return Step::Failed;
    }
  }

  /// With the liveness byte (and, when `guarded`, the guard) write-locked: nobody holds the object. An open
  /// reports it missing and marks it dead for joiners that slip in after us; a create makes it anew and keeps
  /// a read lock.
  Step OnDead(CachedObjectFile& f, ObjectKind kind, bool create, uint64_t dataSize, ObjectFile::Initialiser init,
              void* context, bool guarded, bool& made, uint32_t& error) {
    if (!create) {
      struct stat st {};
      if (f.page != nullptr ||
          (::fstat(f.fd, &st) == 0 && static_cast<size_t>(st.st_size) >= HeaderPageSize() && MapPage(f, error))) {
        LiveFlag(f.page).store(0, std::memory_order_release);
      }
      LockBoth(f.fd, F_UNLCK);
      error = ERROR_FILE_NOT_FOUND;
      return Step::Failed;
    }
    error = Reinitialise(f, kind, dataSize, init, context);
    if (error != ERROR_SUCCESS) {
      if (f.page != nullptr) {
        LiveFlag(f.page).store(0, std::memory_order_release);
      }
      LockBoth(f.fd, F_UNLCK);
      return Step::Failed;
    }
    // Write lock to read lock in one step: no other process can find the object unheld in between.
    if (!SetLock(f.fd, kLivenessByte, 1, F_RDLCK, false) ||
        (guarded && !SetLock(f.fd, kGuardByte, 1, F_UNLCK, false))) {
      error = Win32FromErrno(errno);
      LiveFlag(f.page).store(0, std::memory_order_release);
      LockBoth(f.fd, F_UNLCK);
      return Step::Failed;
    }
    made = true;
    return Step::Joined;
  }

  /// Makes a new or dead file the fresh object: sized with the data reading as zeros, the header page zeroed,
  /// the header and the initial state written. Returns a Win32 error, 0 on success.
  uint32_t Reinitialise(CachedObjectFile& f, ObjectKind kind, uint64_t dataSize, ObjectFile::Initialiser init,
                        void* context) {
    const size_t pageSize = HeaderPageSize();
    bool sized = false;
    if (dataSize == 0 && f.page != nullptr) {
      // An event or mutex reborn over an event or mutex: the file has the one page already.
      ObjectHeader h{};
      std::memcpy(&h, f.page, sizeof h);
      sized = h.magic == kObjectMagic && h.version == kObjectVersion && h.headerSize == pageSize && h.dataSize == 0;
    }
    if (!sized) {
      // Cutting the file back to its header page drops the old data; growing it again reads as zeros.
      const off_t total = static_cast<off_t>(pageSize + dataSize);
      if (::ftruncate(f.fd, static_cast<off_t>(pageSize)) != 0 || (dataSize != 0 && ::ftruncate(f.fd, total) != 0)) {
        return errno == EFBIG || errno == EINVAL ? ERROR_NOT_ENOUGH_MEMORY : Win32FromErrno(errno);
      }
      // Reserve the memory now, as Windows commits a section when it is made: a full tmpfs then fails the
      // creation instead of killing a later writer with SIGBUS. File systems without fallocate just skip it.
      if (::fallocate(f.fd, 0, 0, total) != 0 && (errno == ENOSPC || errno == EDQUOT)) {
        return ERROR_NOT_ENOUGH_MEMORY;
      }
    }
    uint32_t error = ERROR_SUCCESS;
    if (!MapPage(f, error) || !MapData(f, dataSize, error)) {
      return error;
    }
    std::memset(f.page, 0, pageSize);
    const ObjectHeader header{kObjectMagic, static_cast<uint32_t>(kind), kObjectVersion,
                              static_cast<uint32_t>(pageSize), dataSize, 1, 0};
    std::memcpy(f.page, &header, sizeof header);
    f.header = header;
    if (init != nullptr) {
      return init(f.page, context);
    }
    return ERROR_SUCCESS;
  }

  /// In a child made by fork the descriptors are shared with the parent, and so are their locks: the child
  /// must not use them. Idle entries are closed; held ones (handles copied with the process) keep working on
  /// their mappings and are closed, without touching the parent's locks, when their last hold goes.
  void AfterForkInChild() {
    for (auto& [path, f] : m_files) {
      if (f->holds > 0) {
        f->detached = true;
        f.release();
      } else {
        Unmap(*f);
        ::close(f->fd);
      }
    }
    m_files.clear();
    m_idle.clear();
    m_lock.unlock();
  }

  std::mutex m_lock;
  std::unordered_map<std::string, std::unique_ptr<CachedObjectFile>> m_files;
  std::list<CachedObjectFile*> m_idle;  // entries no handle holds, the most recently used first
  std::map<std::string, std::shared_ptr<CachedDir>> m_dirs;
  std::string m_lastDir;
};

}  // namespace

size_t HeaderPageSize() {
  static const size_t pageSize = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return pageSize;
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


ObjectFile::ObjectFile(CachedObjectFile* file)
    : m_file(file), m_header(file->header), m_page(file->page), m_data(file->data) {}

ObjectFile::~ObjectFile() { ObjectCache::Instance().Release(m_file); }

std::shared_ptr<ObjectFile> ObjectFile::Acquire(std::u16string_view name, ObjectKind kind, bool create,
                                                uint64_t dataSize, Initialiser init, void* context,
                                                uint32_t& error) {
  std::string fileName;
  if (!ObjectFileName(name, fileName, error)) {
    return nullptr;
  }
  if (dataSize > static_cast<uint64_t>(LLONG_MAX) - HeaderPageSize()) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  error = ERROR_SUCCESS;
  CachedObjectFile* file =
      ObjectCache::Instance().Acquire(ObjectDir(), fileName, kind, create, dataSize, init, context, error);
  if (file == nullptr) {
    return nullptr;
  }
  return std::shared_ptr<ObjectFile>(new ObjectFile(file));
}

}  // namespace kestrix::platform::detail
