// Starting and stopping the processes of a benchmark run.
#include "bench/BenchProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

extern char** environ;

namespace kestrix::bench {

BenchRoot::BenchRoot() {
  // The kernel objects live on a tmpfs in production (/run); /dev/shm is one here, where /tmp may be a disk.
  char tmpl[] = "/dev/shm/kestrix-bench-XXXXXX";
  char fallback[] = "/tmp/kestrix-bench-XXXXXX";
  char* made = ::mkdtemp(tmpl);
  if (made == nullptr) {
    made = ::mkdtemp(fallback);
  }
  if (made == nullptr) {
    std::perror("bench: mkdtemp");
    return;
  }
  // Readable by every account, as the service's objects and store are.
  ::chmod(made, 0755);
  m_path = made;
  ::setenv("KESTRIX_ROOT", made, 1);
}

BenchRoot::~BenchRoot() {
  if (!m_path.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
}

ChildProgram::~ChildProgram() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
}

bool ChildProgram::Start(const std::vector<std::string>& argv, const char* env, int* stdoutPipe) {
  int out[2] = {-1, -1};
  if (stdoutPipe != nullptr && ::pipe2(out, O_CLOEXEC) != 0) {
    std::perror("bench: pipe");
    return false;
  }
  std::vector<char*> args;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    envp.push_back(*e);
  }
  if (env != nullptr) {
    envp.push_back(const_cast<char*>(env));
  }
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("bench: fork");
    return false;
  }
  if (pid == 0) {
    if (out[1] >= 0) {
      ::dup2(out[1], STDOUT_FILENO);
    }
    ::execve(args[0], args.data(), envp.data());
    std::fprintf(stderr, "bench: cannot run %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  if (out[1] >= 0) {
    ::close(out[1]);
    *stdoutPipe = out[0];
  }
  m_pid = pid;
  return true;
}

int WaitForExit(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int ChildProgram::Stop(int signal, int timeoutMs) {
  if (m_pid <= 0) {
    return -1;
  }
  ::kill(m_pid, signal);
  const int rc = WaitForExit(m_pid, timeoutMs);
  if (rc == -1) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  m_pid = -1;
  return rc;
}

ServiceUnderBench::~ServiceUnderBench() {
  if (m_child.Pid() > 0) {
    Stop();
  }
  if (m_socket >= 0) {
    ::close(m_socket);
  }
}

bool ServiceUnderBench::Start(const std::string& program, const std::filesystem::path& root) {
  const std::string path = (root / "notify.sock").string();
  ::unlink(path.c_str());
  m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "bench: cannot bind the notify socket %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  const std::string env = "NOTIFY_SOCKET=" + path;
  if (!m_child.Start({program}, env.c_str())) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{m_socket, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) {
      if (WaitForExit(m_child.Pid(), 0) != -1) {
        std::fprintf(stderr, "bench: %s ended before it reported READY=1\n", program.c_str());
        m_child.Adopt(-1);
        return false;
      }
      continue;
    }
    char buffer[4096];
    const ssize_t n = ::recv(m_socket, buffer, sizeof buffer, 0);
    if (n > 0 && std::string_view(buffer, static_cast<size_t>(n)).find("READY=1") != std::string_view::npos) {
      return true;
    }
  }
  std::fprintf(stderr, "bench: %s did not report READY=1 within 15 s\n", program.c_str());
  return false;
}

int ServiceUnderBench::Stop() {
  return m_child.Stop(SIGTERM, 15000);
}

}  // namespace kestrix::bench
