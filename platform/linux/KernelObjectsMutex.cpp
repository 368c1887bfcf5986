// Mutexes on Linux: a robust, recursive, process-shared pthread mutex in the object file (in memory when unnamed).
#include <pthread.h>

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
// and the kernel walks the list when the thread dies. The memory must therefore stay mapped, and must not be
// made a new mutex, for as long as any thread of this process owns the mutex, even after the Mutex object is
// gone. So every ownership level pins what keeps the memory: for a named mutex a hold on its object file
// (which also keeps the object alive, so no other process revives it in place and reinitialises memory that
// a list here still links), for an unnamed one its heap page. All Mutex objects of one name in a process
// share one mapping, the object file's header page in the per-process object cache.
class PageTable {
 public:
  static PageTable& Instance() {
    // Never destroyed: a thread may still release a mutex while the process exits.
    static PageTable* table = new PageTable;
    return *table;
  }

  /// Adds one pinned level for the mutex in `page`, kept by `keep`.
  void Pin(void* page, const std::shared_ptr<void>& keep) {
    std::lock_guard lock(m_lock);
    auto& entry = m_pages[page];
    if (entry.pins++ == 0) {
      entry.keep = keep;
    }
  }

  void Unpin(void* page) {
    std::shared_ptr<void> last;  // dropped outside the table's lock: it may take the object cache's
    {
      std::lock_guard lock(m_lock);
      auto it = m_pages.find(page);
      if (it == m_pages.end() || --it->second.pins > 0) {
        return;
      }
      last = std::move(it->second.keep);
      m_pages.erase(it);
    }
  }

 private:
  struct Pinned {
    std::shared_ptr<void> keep;
    size_t pins = 0;
  };
  std::mutex m_lock;
  std::map<void*, Pinned> m_pages;
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
  /// `keep` keeps `page` valid: the object file's hold for a named mutex, the heap page for an unnamed one.
  LinuxMutex(std::shared_ptr<void> keep, void* page) : m_keep(std::move(keep)), m_page(page), m_mutex(MutexIn(page)) {}

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
        PageTable::Instance().Pin(m_page, m_keep);
        return WaitResult::Signaled;
      case EOWNERDEAD:
        // The owner died holding it. We own it now; marking it consistent lets it be used on as normal.
        pthread_mutex_consistent(m_mutex);
        PageTable::Instance().Pin(m_page, m_keep);
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
      PageTable::Instance().Unpin(m_page);
      return true;
    }
    // A recursive mutex reports EPERM when the calling thread is not its owner.
    SetLastError(rc == EPERM ? ERROR_NOT_OWNER : Win32FromErrno(rc));
    return false;
  }

 private:
  std::shared_ptr<void> m_keep;
  void* m_page;
  pthread_mutex_t* m_mutex;
};

struct MutexInit {
  bool initialOwner;
  bool owned = false;
};

// Runs under the guard of a new or revived object file, before any other process can join it, so taking
// the initial ownership here is atomic with the creation. The level is pinned once the object file's hold
// exists; until then the creating hold keeps the page.
uint32_t InitialiseNamedMutex(uint8_t* page, void* context) {
  auto* init = static_cast<MutexInit*>(context);
  if (const int rc = InitialiseMutex(MutexIn(page), true); rc != 0) {
    return Win32FromErrno(rc);
  }
  init->owned = init->initialOwner && pthread_mutex_lock(MutexIn(page)) == 0;
  return ERROR_SUCCESS;
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
    auto mutex = std::make_unique<LinuxMutex>(std::shared_ptr<void>(page, std::free), page);
    if (initialOwner) {
      mutex->Wait(0);
    }
    error = ERROR_SUCCESS;
    return mutex;
  }
  MutexInit init{initialOwner};
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Mutex, true, 0, InitialiseNamedMutex, &init, error);
  if (file == nullptr) {
    return nullptr;
  }
  uint8_t* page = file->Page();
  std::shared_ptr<void> keep = std::move(file);
  if (init.owned) {
    PageTable::Instance().Pin(page, keep);  // the initial owner's level
  }
  return std::make_unique<LinuxMutex>(std::move(keep), page);
}

std::unique_ptr<Mutex> Mutex::Open(std::u16string_view name, uint32_t& error) {
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Mutex, false, 0, nullptr, nullptr, error);
  if (file == nullptr) {
    return nullptr;
  }
  uint8_t* page = file->Page();
  return std::make_unique<LinuxMutex>(std::move(file), page);
}

}  // namespace kestrix::platform
