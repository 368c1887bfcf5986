// The private bus daemon, the echo peer and its client.
#include "bench/DbusEcho.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace kestrix::bench {

namespace {

constexpr char kPeerName[] = "org.kestrix.BenchPeer";
constexpr char kPeerPath[] = "/org/kestrix/BenchPeer";
constexpr char kPeerInterface[] = "org.kestrix.BenchPeer";
constexpr char kEchoMethod[] = "Echo";

// Reads one line from `fd`, waiting at most `timeoutMs` in all.
bool ReadLine(int fd, std::string& line, int timeoutMs) {
  line.clear();
  char c = 0;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0 || ::read(fd, &c, 1) != 1) {
      return false;
    }
    if (c == '\n') {
      return true;
    }
    line += c;
  }
}

DBusConnection* Open(const std::string& address) {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
  if (connection == nullptr) {
    std::fprintf(stderr, "bench: cannot connect to the bus %s: %s\n", address.c_str(), error.message);
    dbus_error_free(&error);
    return nullptr;
  }
  dbus_connection_set_exit_on_disconnect(connection, FALSE);
  if (!dbus_bus_register(connection, &error)) {
    std::fprintf(stderr, "bench: cannot register with the bus: %s\n", error.message);
    dbus_error_free(&error);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return nullptr;
  }
  return connection;
}

}  // namespace

DbusEchoBus::~DbusEchoBus() { Stop(); }

bool DbusEchoBus::Start(const std::string& daemon, const std::filesystem::path& root) {
  const std::filesystem::path config = root / "bus.conf";
  const std::filesystem::path socket = root / "bus.sock";
  {
    // As the stock session bus allows: any connection may own any name and call any peer.
    std::ofstream out(config);
    out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path=" << socket.string() << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    if (!out) {
      std::fprintf(stderr, "bench: cannot write %s\n", config.c_str());
      return false;
    }
  }
  int addressFd = -1;
  if (!m_daemon.Start({daemon, "--config-file=" + config.string(), "--nofork", "--print-address"}, nullptr,
                      &addressFd)) {
    return false;
  }
  const bool gotAddress = ReadLine(addressFd, m_address, 10000);
  ::close(addressFd);
  if (!gotAddress || m_address.empty()) {
    std::fprintf(stderr, "bench: %s printed no address\n", daemon.c_str());
    return false;
  }

  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) {
    std::perror("bench: pipe");
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("bench: fork");
    return false;
  }
  if (pid == 0) {
    ::close(ready[0]);
    RunPeer(m_address, ready[1]);
  }
  m_peer.Adopt(pid);
  ::close(ready[1]);
  pollfd p{ready[0], POLLIN, 0};
  char ok = 0;
  const bool owned = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &ok, 1) == 1 && ok == 1;
  ::close(ready[0]);
  if (!owned) {
    std::fprintf(stderr, "bench: the D-Bus echo peer did not take its name\n");
  }
  return owned;
}

void DbusEchoBus::RunPeer(const std::string& address, int readyFd) {
  DBusConnection* connection = Open(address);
  if (connection == nullptr) {
    ::_exit(1);
  }
  DBusError error;
  dbus_error_init(&error);
  if (dbus_bus_request_name(connection, kPeerName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
      DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
    std::fprintf(stderr, "bench: the echo peer cannot own %s: %s\n", kPeerName,
                 dbus_error_is_set(&error) ? error.message : "taken");
    ::_exit(1);
  }
  const char ok = 1;
  if (::write(readyFd, &ok, 1) != 1) {
    ::_exit(1);
  }
  ::close(readyFd);

  // Ends when the bus goes away or the bench stops it with a signal.
  while (dbus_connection_read_write(connection, -1)) {
    while (DBusMessage* message = dbus_connection_pop_message(connection)) {
      if (dbus_message_is_method_call(message, kPeerInterface, kEchoMethod)) {
        const uint8_t* bytes = nullptr;
        int length = 0;
        DBusMessage* reply = nullptr;
        if (dbus_message_get_args(message, &error, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, &length,
                                  DBUS_TYPE_INVALID)) {
          reply = dbus_message_new_method_return(message);
          dbus_message_append_args(reply, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, length, DBUS_TYPE_INVALID);
        } else {
          reply = dbus_message_new_error(message, DBUS_ERROR_INVALID_ARGS, error.message);
          dbus_error_free(&error);
        }
        dbus_connection_send(connection, reply, nullptr);
        dbus_connection_flush(connection);
        dbus_message_unref(reply);
      }
      dbus_message_unref(message);
    }
  }
  ::_exit(0);
}

void DbusEchoBus::Stop() {
  if (m_peer.Pid() > 0) {
    m_peer.Stop(SIGTERM, 5000);
  }
  if (m_daemon.Pid() > 0) {
    m_daemon.Stop(SIGTERM, 5000);
  }
}

DbusEchoClient::~DbusEchoClient() {
  if (m_connection != nullptr) {
    dbus_connection_close(m_connection);
    dbus_connection_unref(m_connection);
  }
}

bool DbusEchoClient::Connect(const std::string& address) {
  m_connection = Open(address);
  return m_connection != nullptr;
}

bool DbusEchoClient::Echo(const uint8_t* data, std::size_t length) {
  DBusMessage* call = dbus_message_new_method_call(kPeerName, kPeerPath, kPeerInterface, kEchoMethod);
  if (call == nullptr) {
    return false;
  }
  const uint8_t* bytes = data;
  const int count = static_cast<int>(length);
  dbus_message_append_args(call, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &bytes, count, DBUS_TYPE_INVALID);
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(m_connection, call, 5000, &error);
  dbus_message_unref(call);
  if (reply == nullptr) {
    std::fprintf(stderr, "bench: Echo failed: %s\n", error.message);
    dbus_error_free(&error);
    return false;
  }
  const uint8_t* echoed = nullptr;
  int echoedCount = -1;
  bool same = dbus_message_get_args(reply, &error, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &echoed, &echoedCount,
                                    DBUS_TYPE_INVALID) &&
              echoedCount == count && (count == 0 || std::memcmp(echoed, data, length) == 0);
  dbus_error_free(&error);
  dbus_message_unref(reply);
  return same;
}

}  // namespace kestrix::bench
