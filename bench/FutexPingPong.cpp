// The futex ping-pong between two processes.
#include "bench/FutexPingPong.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace kestrix::bench {

namespace {

// The request value that tells the peer to end.
constexpr uint32_t kStop = 0xFFFFFFFF;

// Shared (not FUTEX_PRIVATE) operations: the words live in a mapping that two processes share.
// Returns false only when `timeout` ran out.
bool FutexWait(std::atomic<uint32_t>& word, uint32_t expected, const timespec* timeout = nullptr) {
  const long rc =
      ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, expected, timeout, nullptr, 0);
  return rc == 0 || errno != ETIMEDOUT;
}

void FutexWake(std::atomic<uint32_t>& word) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

}  // namespace

FutexPingPong::~FutexPingPong() {
  Stop();
  if (m_words != nullptr) {
    ::munmap(m_words, sizeof(Words));
  }
}

bool FutexPingPong::Start() {
  void* p = ::mmap(nullptr, sizeof(Words), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    std::perror("bench: mmap");
    return false;
  }
  m_words = new (p) Words{};
  m_sequence = 0;
  m_peer = ::fork();
  if (m_peer < 0) {
    std::perror("bench: fork");
    return false;
  }
  if (m_peer == 0) {
    Answer(m_words);
  }
  return true;
}

void FutexPingPong::Answer(Words* words) {
  uint32_t seen = 0;
  for (;;) {
    uint32_t request;
    while ((request = words->request.load(std::memory_order_acquire)) == seen) {
      FutexWait(words->request, seen);
    }
    if (request == kStop) {
      ::_exit(0);
    }
    seen = request;
    words->answer.store(request, std::memory_order_release);
    FutexWake(words->answer);
  }
}

bool FutexPingPong::RoundTrip() {
  if (++m_sequence == kStop) {
    m_sequence = 1;
  }
  const uint32_t request = m_sequence;
  m_words->request.store(request, std::memory_order_release);
  FutexWake(m_words->request);
  // A peer that does not answer within a second has died or lost the request.
  const timespec limit{1, 0};
  uint32_t answer;
  while ((answer = m_words->answer.load(std::memory_order_acquire)) != request) {
    if (!FutexWait(m_words->answer, answer, &limit)) {
      return m_words->answer.load(std::memory_order_acquire) == request;
    }
  }
  return true;
}

void FutexPingPong::Stop() {
  if (m_peer <= 0) {
    return;
  }
  m_words->request.store(kStop, std::memory_order_release);
  FutexWake(m_words->request);
  int status = 0;
  ::waitpid(m_peer, &status, 0);
  m_peer = -1;
}

}  // namespace kestrix::bench
