// Events on Linux: a 32-bit futex word (1 signalled, 0 not) in the object file, or in memory for an unnamed one.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "common/Win32Error.h"
#include "platform/KernelObjects.h"
#include "platform/LastError.h"
#include "platform/linux/KernelObjectsFile.h"

namespace kestrix::platform {

namespace {

using detail::ObjectFile;

/// The event's state in the object file, at the payload offset of its header page.
struct EventState {
  uint32_t signalled;
  uint32_t manualReset;
  uint32_t sleepers;  // waiters inside the futex wait; a Set makes the wake call only when there are some
};
static_assert(sizeof(EventState) == 12);
static_assert(offsetof(EventState, manualReset) == 4);
static_assert(offsetof(EventState, sleepers) == 8);

// A waiter first polls the word for this long before it sleeps: an answer that comes within it (a command
// round trip on another core takes tens of microseconds) then costs neither a wake-up nor the wake call.
// Only where another core can make the answer meanwhile.
constexpr long kSpinNanoseconds = 40 * 1000;

bool SpinningPays() {
  static const bool pays = ::sysconf(_SC_NPROCESSORS_ONLN) > 1;
  return pays;
}

long NanosecondsSince(const timespec& start) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

timespec DeadlineAfter(uint32_t timeoutMs) {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

class LinuxEvent final : public Event {
 public:
  /// A named event over the header page of its object file, mapped once per process by the object cache.
  explicit LinuxEvent(std::shared_ptr<ObjectFile> file)
      : m_file(std::move(file)),
        m_state(reinterpret_cast<EventState*>(m_file->Page() + detail::kPayloadOffset)),
        m_manualReset(std::atomic_ref<uint32_t>(m_state->manualReset).load() != 0),
        m_futexFlags(0) {}

  /// An unnamed event: the state lives in this object and the futex is private to the process.
  LinuxEvent(bool manualReset, bool initialState)
      : m_private(std::make_unique<EventState>(EventState{initialState ? 1u : 0u, manualReset ? 1u : 0u, 0u})),
        m_state(m_private.get()),
        m_manualReset(manualReset),
        m_futexFlags(FUTEX_PRIVATE_FLAG) {}

  bool Set() override {
    // Sequentially consistent with the sleepers count a waiter raises before its last look at the word: either
    // the waiter sees the signal, or this sees the waiter and wakes it.
    Word().store(1, std::memory_order_seq_cst);
    if (Sleepers().load(std::memory_order_seq_cst) != 0) {
      // A manual-reset event releases every waiter; an auto-reset one wakes one, which takes the signal.
      Futex(FUTEX_WAKE, m_manualReset ? INT_MAX : 1, nullptr);
    }
    return true;
  }

  bool Reset() override {
    Word().store(0, std::memory_order_release);
    return true;
  }

  WaitResult Wait(uint32_t timeoutMs) override {
    if (TryTake()) {
      return WaitResult::Signaled;
    }
    if (timeoutMs == 0) {
      return WaitResult::Timeout;
    }
    const bool bounded = timeoutMs != INFINITE;
    const timespec deadline = bounded ? DeadlineAfter(timeoutMs) : timespec{};
    if (SpinningPays()) {
      timespec start{};
      ::clock_gettime(CLOCK_MONOTONIC, &start);
      for (int i = 0;; ++i) {
        if (TryTake()) {
          return WaitResult::Signaled;
        }
        CpuRelax();
        if ((i & 63) == 63 && NanosecondsSince(start) > kSpinNanoseconds) {
          break;
        }
      }
    }
    for (;;) {
      Sleepers().fetch_add(1, std::memory_order_seq_cst);
      if (TryTake()) {
        Sleepers().fetch_sub(1, std::memory_order_seq_cst);
        return WaitResult::Signaled;
      }
      // Sleeps only while the word still reads 0, so a Set between the check and the sleep is not lost.
      // The deadline is absolute on CLOCK_MONOTONIC, so wake-ups and EINTR do not stretch the wait.
      const long rc = Futex(FUTEX_WAIT_BITSET, 0, bounded ? &deadline : nullptr);
      const int err = errno;
      Sleepers().fetch_sub(1, std::memory_order_seq_cst);
      errno = err;
      if (TryTake()) {
        return WaitResult::Signaled;
      }
      if (rc != 0) {
        if (errno == ETIMEDOUT) {
          return WaitResult::Timeout;
        }
        if (errno != EAGAIN && errno != EINTR) {
          SetLastError(Win32FromErrno(errno));
          return WaitResult::Failed;
        }
      }
    }
  }

 private:
  std::atomic_ref<uint32_t> Word() { return std::atomic_ref<uint32_t>(m_state->signalled); }
  std::atomic_ref<uint32_t> Sleepers() { return std::atomic_ref<uint32_t>(m_state->sleepers); }

  /// Takes the signal: a manual-reset event keeps it, an auto-reset one goes back to non-signalled as the one
  /// waiter it releases takes it. A Set that comes before the released waiter has taken the previous signal
  /// merges with it (the state is a flag, not a count).
  bool TryTake() {
    if (m_manualReset) {
      return Word().load(std::memory_order_seq_cst) == 1;
    }
    uint32_t expected = 1;
    return Word().compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
  }

  long Futex(int op, uint32_t value, const timespec* deadline) {
    return ::syscall(SYS_futex, &m_state->signalled, op | m_futexFlags, value, deadline, nullptr,
                     FUTEX_BITSET_MATCH_ANY);
  }

  std::shared_ptr<ObjectFile> m_file;
  std::unique_ptr<EventState> m_private;
  EventState* m_state;
  bool m_manualReset;
  int m_futexFlags;
};

struct EventInit {
  bool manualReset;
  bool initialState;
};

uint32_t InitialiseEvent(uint8_t* page, void* context) {
  const auto* init = static_cast<const EventInit*>(context);
  auto* state = reinterpret_cast<EventState*>(page + detail::kPayloadOffset);
  std::atomic_ref<uint32_t>(state->manualReset).store(init->manualReset ? 1u : 0u, std::memory_order_relaxed);
  std::atomic_ref<uint32_t>(state->sleepers).store(0, std::memory_order_relaxed);
  std::atomic_ref<uint32_t>(state->signalled).store(init->initialState ? 1u : 0u, std::memory_order_release);
  return ERROR_SUCCESS;
}

std::unique_ptr<Event> Attach(std::shared_ptr<ObjectFile> file) {
  if (file == nullptr) {
    return nullptr;
  }
  return std::make_unique<LinuxEvent>(std::move(file));
}

}  // namespace

std::unique_ptr<Event> Event::Create(std::u16string_view name, bool manualReset, bool initialState,
                                     uint32_t& error) {
  if (name.empty()) {
    error = ERROR_SUCCESS;
    return std::make_unique<LinuxEvent>(manualReset, initialState);
  }
  EventInit init{manualReset, initialState};
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Event, true, 0, InitialiseEvent, &init, error);
  return Attach(std::move(file));
}

std::unique_ptr<Event> Event::Open(std::u16string_view name, uint32_t& error) {
  auto file = ObjectFile::Acquire(name, detail::ObjectKind::Event, false, 0, nullptr, nullptr, error);
  return Attach(std::move(file));
}

}  // namespace kestrix::platform
