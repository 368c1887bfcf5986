// Mutexes on Linux: a robust, recursive, process-shared pthread mutex in the object file (in memory when unnamed).
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "common/Win32Error.h"
#include "platform/KernelObjects.h"
#include "platform/LastError.h"
#include "platform/linux/KernelObjectsFile.h"

namespace kestrix::platform {

namespace {

using detail::ObjectFile;

static_assert(detail::kPayloadOffset % alignof(pthread_mutex_t) == 0);
static_assert(detail::kPayloadOffset + sizeof(pthread_mutex_t) <= 4096);

// While a thread owns a robust mutex, the C library links the mutex memory into that thread's robust list,
// and the kernel walks the list when the thread dies. The memory must therefore stay mapped for as long as
// any thread of this process owns the mutex, even after the Mutex object is gone, and a second Mutex object
// for the same file must use the same mapping. So the pages are kept here, per file, with a count of the
// objects and held ownership levels that pin them.
struct PageKey {
  dev_t dev;
  ino_t ino;
  bool operator<(const PageKey& o) const { return std::pair(dev, ino) < std::pair(o.dev, o.ino); }
};

struct Page {
  void* base;
  bool mapped;  // mmap'd from the object file; otherwise heap memory of an unnamed mutex
  size_t pins;
};

class PageTable {
 public:
  static PageTable& Instance() {
    // Never destroyed: a thread may still release a mutex while the process exits.
    static PageTable* table = new PageTable;
    return *table;
  }

  /// Pins the page of the object file (dev, ino) open as `fd`, mapping it on first use. Null with the Win32
  /// error on failure.
  void* PinFile(const PageKey& key, int fd, uint32_t& error) {
    std::lock_guard lock(m_lock);
    if (auto it = m_pages.find(key); it != m_pages.end()) {
      ++it->second.pins;
      return it->second.base;
    }
    void* base = detail::MapShared(fd, 0, detail::HeaderPageSize(), error);
    if (base != nullptr) {
      m_pages.emplace(key, Page{base, true, 1});
    }
    return base;
  }

  /// Registers the heap page of an unnamed mutex, pinned once.
  PageKey AddPrivate(void* base) {
    std::lock_guard lock(m_lock);
    const PageKey key{0, static_cast<ino_t>(reinterpret_cast<uintptr_t>(base))};
    m_pages.emplace(key, Page{base, false, 1});
    return key;
  }

  void Pin(const PageKey& key) {
    std::lock_guard lock(m_lock);
    ++m_pages.at(key).pins;
  }

  void Unpin(const PageKey& key) {
    std::lock_guard lock(m_lock);
    auto it = m_pages.find(key);
    if (it == m_pages.end() || --it->second.pins > 0) {
      return;
    }
    if (it->second.mapped) {
      ::munmap(it->second.base, detail::HeaderPageSize());
    } else {
      std::free(it->second.base);
    }
    m_pages.erase(it);
  }

 private:
  std::mutex m_lock;
  std::map<PageKey, Page> m_pages;
};

pthread_mutex_t* MutexIn(void* page) {
  return reinterpret_cast<pthread_mutex_t*>(static_cast<uint8_t*>(page) + detail::kPayloadOffset);
}

int InitialiseMutex(pthread_mutex_t* mutex, bool shared) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);  // Win32 mutexes nest for their owning thread
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);   // a dead owner leaves it abandoned, not stuck
  pthread_mutexattr_setpshared(&attr, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
  const int rc = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return rc;
}

class LinuxMutex final : public Mutex {
 public:
  LinuxMutex(std::shared_ptr<ObjectFile> file, PageKey key, void* page)
      : m_file(std::move(file)), m_key(key), m_mutex(MutexIn(page)) {}
  ~LinuxMutex() override { PageTable::Instance().Unpin(m_key); }

  WaitResult Wait(uint32_t timeoutMs) override {
    int rc;
    if (timeoutMs == 0) {
      rc = pthread_mutex_trylock(m_mutex);
    } else if (timeoutMs == INFINITE) {
      rc = pthread_mutex_lock(m_mutex);
    } else {
      timespec deadline{};
      ::clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
      deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      rc = pthread_mutex_clocklock(m_mutex, CLOCK_MONOTONIC, &deadline);
    }
    switch (rc) {
      case 0:
        PageTable::Instance().Pin(m_key);
        return WaitResult::Signaled;
      case EOWNERDEAD:
        // The owner died holding it. We own it now; marking it consistent lets it be used on as normal.
        pthread_mutex_consistent(m_mutex);
        PageTable::Instance().Pin(m_key);
        return WaitResult::Abandoned;
      case EBUSY:
      case ETIMEDOUT:
        return WaitResult::Timeout;
      default:
        SetLastError(Win32FromErrno(rc));
        return WaitResult::Failed;
    }
  }

  bool Release() override {
    const int rc = pthread_mutex_unlock(m_mutex);
    if (rc == 0) {
      PageTable::Instance().Unpin(m_key);
      return true;
    }
    // A recursive mutex reports EPERM when the calling thread is not its owner.
    SetLastError(rc == EPERM ? ERROR_NOT_OWNER : Win32FromErrno(rc));
    return false;
  }

 private:
  std::shared_ptr<ObjectFile> m_file;
  PageKey m_key;
  pthread_mutex_t* m_mutex;
};

struct MutexInit {
  bool initialOwner;
  PageKey key{};
  bool pinned = false;
};

// Runs under the guard of a new or revived object file, before any other process can join it, so taking
// the initial ownership here is atomic with the creation. The page is pinned in the page table from the
// start, as an owned mutex must be.
uint32_t InitialiseNamedMutex(int fd, const detail::ObjectHeader&, void* context) {
  auto* init = static_cast<MutexInit*>(context);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return Win32FromErrno(errno);
  }
  const PageKey key{st.st_dev, st.st_ino};
  uint32_t error = ERROR_SUCCESS;
  void* page = PageTable::Instance().PinFile(key, fd, error);
  if (page == nullptr) {
    return error;
  }
  if (const int rc = InitialiseMutex(MutexIn(page), true); rc != 0) {
    PageTable::Instance().Unpin(key);
    return Win32FromErrno(rc);
  }
  init->key = key;
  init->pinned = true;
  if (init->initialOwner && pthread_mutex_lock(MutexIn(page)) == 0) {
    PageTable::Instance().Pin(key);  // the held level
  }
  return ERROR_SUCCESS;
}

std::unique_ptr<Mutex> AttachNamed(std::shared_ptr<ObjectFile> file, uint32_t& error) {
  const PageKey key{file->Device(), file->Inode()};
  uint32_t mapError = ERROR_SUCCESS;
  void* page = PageTable::Instance().PinFile(key, file->Fd(), mapError);
  if (page == nullptr) {
    error = mapError;
    return nullptr;
  }
  return std::make_unique<LinuxMutex>(std::move(file), key, page);
}

}  // namespace

std::unique_ptr<Mutex> Mutex::Create(std::u16string_view name, bool initialOwner, uint32_t& error) {
  if (name.empty()) {
    void* page = std::aligned_alloc(detail::HeaderPageSize(), detail::HeaderPageSize());
    if (page == nullptr || InitialiseMutex(MutexIn(page), false) != 0) {
      std::free(page);
      error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    const PageKey key = PageTable::Instance().AddPrivate(page);
    auto mutex = std::make_unique<LinuxMutex>(nullptr, key, page);
    if (initialOwner) {
      mutex->Wait(0);
    }
    error = ERROR_SUCCESS;
    return mutex;
  }
  MutexInit init{initialOwner};
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Mutex, true, 0, InitialiseNamedMutex, &init, error);
  std::unique_ptr<Mutex> mutex = file != nullptr ? AttachNamed(std::move(file), error) : nullptr;
  if (init.pinned) {
    PageTable::Instance().Unpin(init.key);  // the initialiser's own pin; the object holds its own now
  }
  return mutex;
}

std::unique_ptr<Mutex> Mutex::Open(std::u16string_view name, uint32_t& error) {
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Mutex, false, 0, nullptr, nullptr, error);
  if (file == nullptr) {
    return nullptr;
  }
  return AttachNamed(std::move(file), error);
}

}  // namespace kestrix::platform
