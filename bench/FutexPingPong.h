// The floor any cross-process round trip stands on: two processes passing a request and an answer through
// two words of shared memory, each side sleeping in the kernel (futex) until the other wakes it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

namespace kestrix::bench {

class FutexPingPong {
 public:
  FutexPingPong() = default;
  FutexPingPong(const FutexPingPong&) = delete;
  FutexPingPong& operator=(const FutexPingPong&) = delete;
  /// Stops the answering process if it still runs.
  ~FutexPingPong();

  /// Maps the two words (MAP_SHARED, anonymous) and forks the process that answers. False on failure.
  bool Start();

  /// One round trip: posts the next request, wakes the peer, sleeps until the answer equals it. Returns
  /// false when no answer came within a second.
  bool RoundTrip();

  /// Tells the peer to end and reaps it.
  void Stop();

 private:
  struct Words {
    std::atomic<uint32_t> request;
    std::atomic<uint32_t> answer;
  };
  static_assert(std::atomic<uint32_t>::is_always_lock_free);
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

  [[noreturn]] static void Answer(Words* words);

  Words* m_words = nullptr;
  pid_t m_peer = -1;
  uint32_t m_sequence = 0;
};

}  // namespace kestrix::bench
