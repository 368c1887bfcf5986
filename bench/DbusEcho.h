// The peer reference: a method call over D-Bus through a private bus daemon, the way firmware daemons on
// Linux are reached. A peer process owns a name and answers Echo(ay) with the bytes it was given.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "bench/BenchProcess.h"

struct DBusConnection;

namespace kestrix::bench {

/// A private dbus-daemon listening on a unix socket in the root, and the echo peer on that bus.
class DbusEchoBus {
 public:
  DbusEchoBus() = default;
  DbusEchoBus(const DbusEchoBus&) = delete;
  DbusEchoBus& operator=(const DbusEchoBus&) = delete;
  ~DbusEchoBus();

  /// Writes a bus configuration into `root`, starts `daemon` with it, and forks the peer; returns once the
  /// peer owns its name (at most 10 s). False (with a message on stderr) otherwise. Must be called before
  /// this process uses libdbus itself, so that the forked peer inherits none of its state.
  bool Start(const std::string& daemon, const std::filesystem::path& root);

  /// The address clients connect to.
  const std::string& Address() const { return m_address; }

  /// Stops the peer and the daemon.
  void Stop();

 private:
  [[noreturn]] static void RunPeer(const std::string& address, int readyFd);

  ChildProgram m_daemon;
  ChildProgram m_peer;
  std::string m_address;
};

/// A client connection to the bus that calls the peer.
class DbusEchoClient {
 public:
  DbusEchoClient() = default;
  DbusEchoClient(const DbusEchoClient&) = delete;
  DbusEchoClient& operator=(const DbusEchoClient&) = delete;
  ~DbusEchoClient();

  /// Connects to `address` and registers with the bus. False (with a message on stderr) on failure.
  bool Connect(const std::string& address);

  /// One method call with `length` bytes, waiting (at most 5 s) for the reply. Returns true only when the
  /// reply carries exactly the bytes sent.
  bool Echo(const uint8_t* data, std::size_t length);

 private:
  DBusConnection* m_connection = nullptr;
};

}  // namespace kestrix::bench
