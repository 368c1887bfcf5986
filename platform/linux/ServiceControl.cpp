// The service manager on systemd: notify datagrams for status reports, signals for controls.
#include "platform/ServiceControl.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "common/Win32Error.h"
#include "platform/LastError.h"

namespace kestrix::platform {

namespace {

// Controls systemd has no verb for come as signals sent with `systemctl kill -s`.
struct SignalControl {
  int signal;
  uint32_t control;
};
constexpr SignalControl kSignalControls[] = {
    {SIGTERM, SERVICE_CONTROL_STOP},       {SIGINT, SERVICE_CONTROL_STOP},
    {SIGUSR1, SERVICE_CONTROL_PAUSE},      {SIGUSR2, SERVICE_CONTROL_CONTINUE},
    {SIGWINCH, SERVICE_CONTROL_INTERROGATE}, {SIGPWR, SERVICE_CONTROL_SHUTDOWN},
    {SIGHUP, SERVICE_CONTROL_PARAMCHANGE},
};

struct Dispatcher {
  std::mutex lock;
  std::function<uint32_t(uint32_t)> handler;
  bool running = false;
};

Dispatcher& TheDispatcher() {
  static Dispatcher dispatcher;
  return dispatcher;
}

const char* StateName(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
  }
}

bool SendNotify(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(path);
  if (length >= sizeof(address.sun_path)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::memcpy(address.sun_path, path, length);
  if (address.sun_path[0] == '@') {
    address.sun_path[0] = '\0';  // an abstract socket
  }
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(Win32FromErrno(errno));
    return false;
  }
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), size);
  const int err = errno;
  ::close(fd);
  if (sent < 0) {
    SetLastError(Win32FromErrno(err));
    return false;
  }
  return true;
}

}  // namespace

uint32_t StartServiceCtrlDispatcherW(const char16_t* /*serviceName*/, const std::function<void()>& serviceMain) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') {
    return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  }
  // Every thread the service starts inherits this mask, so the controls reach only the sigwait below.
  sigset_t controls;
  sigemptyset(&controls);
  for (const auto& sc : kSignalControls) {
    sigaddset(&controls, sc.signal);
  }
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &controls, &previous);
  {
    std::lock_guard<std::mutex> guard(TheDispatcher().lock);
    TheDispatcher().running = true;
  }

  std::atomic<bool> finished{false};
  std::thread mainThread([&] {
    serviceMain();
    finished = true;
  });
  while (!finished) {
    timespec wait{0, 50 * 1000 * 1000};
    const int sig = ::sigtimedwait(&controls, nullptr, &wait);
    if (sig < 0) {
      continue;
    }
    std::function<uint32_t(uint32_t)> handler;
    {
      std::lock_guard<std::mutex> guard(TheDispatcher().lock);
      handler = TheDispatcher().handler;
    }
    for (const auto& sc : kSignalControls) {
      if (sc.signal == sig && handler) {
        handler(sc.control);
      }
    }
  }
  mainThread.join();
  {
    std::lock_guard<std::mutex> guard(TheDispatcher().lock);
    TheDispatcher().running = false;
    TheDispatcher().handler = nullptr;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ERROR_SUCCESS;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(const char16_t* /*serviceName*/,
                                                    std::function<uint32_t(uint32_t)> handler) {
  std::lock_guard<std::mutex> guard(TheDispatcher().lock);
  if (!TheDispatcher().running) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return nullptr;
  }
  TheDispatcher().handler = std::move(handler);
  static ServiceStatusHandleTag* const kHandle = reinterpret_cast<ServiceStatusHandleTag*>(&TheDispatcher());
  return kHandle;
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // systemd reads READY, STOPPING, EXTEND_TIMEOUT_USEC and STATUS; the X_ fields carry the whole report so
  // that a harness playing the service manager can check every field.
  std::string message;
  switch (status.dwCurrentState) {
    case SERVICE_RUNNING: message += "READY=1\n"; break;
    case SERVICE_STOP_PENDING:
    case SERVICE_STOPPED: message += "STOPPING=1\n"; break;
    default: break;
  }
  if (status.dwWaitHint != 0) {
    message += "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<uint64_t>(status.dwWaitHint) * 1000) + "\n";
  }
  // The Win32 exit code is no errno, so it goes into the status text rather than ERRNO=.
  message += std::string("STATUS=") + StateName(status.dwCurrentState);
  if (status.dwWin32ExitCode != 0) {
    message += " (Win32 error " + std::to_string(status.dwWin32ExitCode) + ")";
  }
  message += "\n";
  message += "X_SERVICE_TYPE=" + std::to_string(status.dwServiceType) + "\n";
  message += "X_CURRENT_STATE=" + std::to_string(status.dwCurrentState) + "\n";
  message += "X_CONTROLS_ACCEPTED=" + std::to_string(status.dwControlsAccepted) + "\n";
  message += "X_WIN32_EXIT_CODE=" + std::to_string(status.dwWin32ExitCode) + "\n";
  message += "X_SERVICE_SPECIFIC_EXIT_CODE=" + std::to_string(status.dwServiceSpecificExitCode) + "\n";
  message += "X_CHECK_POINT=" + std::to_string(status.dwCheckPoint) + "\n";
  message += "X_WAIT_HINT=" + std::to_string(status.dwWaitHint) + "\n";
  return SendNotify(message);
}

}  // namespace kestrix::platform
