// kestrix-notify-run: plays systemd's side of the notify protocol for a Type=notify program, for demos and tests.
//
// It binds a datagram socket, starts the program with NOTIFY_SOCKET pointing at it, prints every status
// report the program sends, forwards the control signals to it, and ends with the program's exit code.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

volatile sig_atomic_t g_pending[65];

void OnSignal(int sig) { g_pending[sig] = 1; }

const int kForwarded[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGWINCH, SIGHUP, SIGPWR};

int Usage(FILE* to) {
  std::fputs(
      "usage: kestrix-notify-run [--ready-file FILE] [--log FILE] [--quiet] -- PROGRAM [ARGS...]\n\n"
      "Starts PROGRAM as systemd starts a Type=notify service: NOTIFY_SOCKET is set, each notify datagram\n"
      "is printed (the X_ fields in one line) and, with --log, appended whole to FILE; --ready-file is created\n"
      "when the program reports READY=1. SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGWINCH, SIGHUP and SIGPWR are\n"
      "passed on to the program. The exit code is the program's.\n",
      to);
  return to == stdout ? 0 : 2;
}

std::string Field(const std::string& datagram, const std::string& name) {
  const std::string key = name + "=";
  std::size_t pos = 0;
  while (pos < datagram.size()) {
    std::size_t end = datagram.find('\n', pos);
    if (end == std::string::npos) end = datagram.size();
    if (datagram.compare(pos, key.size(), key) == 0) return datagram.substr(pos + key.size(), end - pos - key.size());
    pos = end + 1;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  std::string readyFile;
  std::string logFile;
  bool quiet = false;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "-h" || a == "--help") return Usage(stdout);
    if (a == "--ready-file" && i + 1 < argc) readyFile = argv[++i];
    else if (a == "--log" && i + 1 < argc) logFile = argv[++i];
    else if (a == "--quiet") quiet = true;
    else return Usage(stderr);
  }
  if (i >= argc) return Usage(stderr);

  char dirTemplate[] = "/tmp/kestrix-notify-XXXXXX";
  if (::mkdtemp(dirTemplate) == nullptr) {
    std::perror("kestrix-notify-run: mkdtemp");
    return 1;
  }
  const std::string socketPath = std::string(dirTemplate) + "/notify";
  const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  if (sock < 0 || ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("kestrix-notify-run: bind");
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;
  for (const int sig : kForwarded) ::sigaction(sig, &action, nullptr);

  ::setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
  pid_t child = -1;
  if (const int rc = ::posix_spawnp(&child, argv[i], nullptr, nullptr, argv + i, environ); rc != 0) {
    std::fprintf(stderr, "kestrix-notify-run: cannot start %s: %s\n", argv[i], std::strerror(rc));
    return 127;
  }

  int exitCode = -1;
  while (exitCode < 0) {
    for (const int sig : kForwarded) {
      if (g_pending[sig]) {
        g_pending[sig] = 0;
        ::kill(child, sig);
      }
    }
    pollfd p{sock, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        const std::string datagram(buffer, static_cast<size_t>(n));
        if (!quiet) {
          std::printf("[service] %-10s state=%s controls=%s exit=%s checkpoint=%s waithint=%s\n",
                      Field(datagram, "STATUS").c_str(), Field(datagram, "X_CURRENT_STATE").c_str(),
                      Field(datagram, "X_CONTROLS_ACCEPTED").c_str(), Field(datagram, "X_WIN32_EXIT_CODE").c_str(),
                      Field(datagram, "X_CHECK_POINT").c_str(), Field(datagram, "X_WAIT_HINT").c_str());
          std::fflush(stdout);
        }
        if (!logFile.empty()) {
          std::ofstream(logFile, std::ios::app) << datagram << "--\n";
        }
        if (!readyFile.empty() && datagram.find("READY=1") != std::string::npos) {
          std::ofstream(readyFile) << child << "\n";
        }
      }
    }
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  ::close(sock);
  ::unlink(socketPath.c_str());
  ::rmdir(dirTemplate);
  return exitCode;
}
