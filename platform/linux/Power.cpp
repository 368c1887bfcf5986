// The power interface on Linux: CAP_SYS_BOOT as the shutdown privilege, systemctl for the shutdown itself.
#include "platform/Power.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "common/Win32Error.h"
#include "platform/LastError.h"
#include "platform/Paths.h"

namespace kestrix::platform {

namespace {

// How long ExitWindowsEx watches systemctl: long enough to see it refuse, not so long that a shutdown that is
// under way (systemctl may be killed by it, or never return) holds the caller.
constexpr int kSystemctlWatchSteps = 100;
constexpr auto kSystemctlWatchStep = std::chrono::milliseconds(20);

constexpr unsigned kBootWord = CAP_SYS_BOOT / 32;
constexpr uint32_t kBootBit = 1u << (CAP_SYS_BOOT % 32);

/// The calling thread's capability sets (the two 32-bit words of version 3).
struct Capabilities {
  __user_cap_header_struct header{};
  __user_cap_data_struct data[2]{};
};

bool ReadCapabilities(Capabilities* caps) {
  caps->header.version = _LINUX_CAPABILITY_VERSION_3;
  caps->header.pid = 0;
  return ::syscall(SYS_capget, &caps->header, caps->data) == 0;
}

bool WriteCapabilities(Capabilities* caps) {
  caps->header.version = _LINUX_CAPABILITY_VERSION_3;
  caps->header.pid = 0;
  return ::syscall(SYS_capset, &caps->header, caps->data) == 0;
}

/// "poweroff" or "reboot" for valid flags; null with the last error set otherwise.
const char* ActionOf(uint32_t flags) {
  constexpr uint32_t kKnown = EWX_SHUTDOWN | EWX_REBOOT | EWX_FORCE | EWX_POWEROFF | EWX_FORCEIFHUNG;
  if ((flags & ~kKnown) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((flags & EWX_REBOOT) != 0) return "reboot";
  if ((flags & (EWX_SHUTDOWN | EWX_POWEROFF)) != 0) return "poweroff";
  SetLastError(ERROR_NOT_SUPPORTED);  // a log-off has no meaning for a service on this host
  return nullptr;
}

bool RecordRequest(const char* action, uint32_t flags, uint32_t reason) {
  const std::filesystem::path file = PowerRequestFile();
  uint32_t err = EnsureDirectory(file.parent_path(), 0755);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return false;
  }
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    SetLastError(Win32FromErrno(errno));
    return false;
  }
  const std::string line =
      std::string(action) + " flags=" + std::to_string(flags) + " reason=" + std::to_string(reason) + "\n";
  // One write of a short line to an O_APPEND file: concurrent requests never interleave within a line.
  const ssize_t written = ::write(fd, line.data(), line.size());
  err = written == static_cast<ssize_t>(line.size()) ? ERROR_SUCCESS
        : written < 0                                 ? Win32FromErrno(errno)
                                                      : ERROR_DISK_FULL;
  ::close(fd);
  SetLastError(err);
  return err == ERROR_SUCCESS;
}

bool AskSystemd(const char* action, bool force) {
  struct stat st {};
  if (::stat("/run/systemd/system", &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_NOT_SUPPORTED);  // not booted with systemd
    return false;
  }
  const char* program = nullptr;
  for (const char* candidate : {"/usr/bin/systemctl", "/bin/systemctl"}) {
    if (::access(candidate, X_OK) == 0) {
      program = candidate;
      break;
    }
  }
  if (program == nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }

  std::string args[] = {"systemctl", action, "--no-wall", "--force"};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), force ? args[3].data() : nullptr, nullptr};
  // A fixed environment: nothing the service inherited steers systemctl.
  std::string env[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
  char* envp[] = {env[0].data(), env[1].data(), nullptr};

  // The service host blocks its control signals for sigwait; systemctl starts with none blocked or ignored.
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t reset;
  sigemptyset(&reset);
  for (const int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&reset, sig);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setsigdefault(&attr, &reset);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program, nullptr, &attr, argv, envp);
  ::posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    SetLastError(Win32FromErrno(rc));
    return false;
  }

  for (int step = 0; step < kSystemctlWatchSteps; ++step) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) break;
      SetLastError(ERROR_GEN_FAILURE);
      return false;
    }
    if (done < 0 && errno != EINTR) break;
    std::this_thread::sleep_for(kSystemctlWatchStep);
  }
  // Still running: the machine is going down and systemctl with it; nobody is left to reap it.
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace

int EnableShutdownPrivilegeOnHost() {
  Capabilities caps;
  if (!ReadCapabilities(&caps)) {
    SetLastError(Win32FromErrno(errno));
    return 0;
  }
  if ((caps.data[kBootWord].permitted & kBootBit) == 0) {
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return 0;
  }
  if ((caps.data[kBootWord].effective & kBootBit) == 0) {
    caps.data[kBootWord].effective |= kBootBit;
    if (!WriteCapabilities(&caps)) {
      SetLastError(Win32FromErrno(errno));
      return 0;
    }
  }
  if (!ShutdownPrivilegeEnabled()) {
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  return 1;
}

bool ShutdownPrivilegeEnabled() {
  Capabilities caps;
  return ReadCapabilities(&caps) && (caps.data[kBootWord].effective & kBootBit) != 0;
}

bool ExitWindowsEx(uint32_t flags, uint32_t reason) {
  const char* action = ActionOf(flags);
  if (action == nullptr) return false;
  if (!ShutdownPrivilegeEnabled()) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return false;
  }
  if (RootDir() != std::filesystem::path("/")) return RecordRequest(action, flags, reason);
  return AskSystemd(action, (flags & EWX_FORCE) != 0);
}

std::filesystem::path PowerRequestFile() { return RootDir() / "var/lib/kestrix/power-requests"; }

}  // namespace kestrix::platform
