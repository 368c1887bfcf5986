// The processes a benchmark run stands up: a private KESTRIX_ROOT, child programs, and the real KestrixSvc
// started the way systemd starts a Type=notify service.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kestrix::bench {

/// A fresh root directory (mode 0755) that KESTRIX_ROOT points at for this process and its children; it is
/// removed again when destroyed. Ok() is false when the directory could not be made.
class BenchRoot {
 public:
  BenchRoot();
  ~BenchRoot();
  BenchRoot(const BenchRoot&) = delete;
  BenchRoot& operator=(const BenchRoot&) = delete;
  bool Ok() const { return !m_path.empty(); }
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

/// A child program. Killed (SIGKILL) and reaped when destroyed if it still runs.
class ChildProgram {
 public:
  ChildProgram() = default;
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;
  ~ChildProgram();

  /// Starts `argv[0]` with `argv` and, when `env` is given, that one extra "NAME=value" entry. When
  /// `stdoutPipe` is not null, the child's standard output is a pipe whose read end is stored there (the
  /// caller closes it). Returns false (with a message on stderr) when the program could not be started.
  bool Start(const std::vector<std::string>& argv, const char* env = nullptr, int* stdoutPipe = nullptr);

  /// Adopts a process this one forked itself.
  void Adopt(pid_t pid) { m_pid = pid; }

  pid_t Pid() const { return m_pid; }

  /// Sends `signal` and waits at most `timeoutMs` for the exit, then kills it. Returns the exit code,
  /// 128 + signal for a signalled end, or -1 when nothing ran or it had to be killed.
  int Stop(int signal, int timeoutMs);

 private:
  pid_t m_pid = -1;
};

/// Waits at most `timeoutMs` for `pid` to end; returns its exit code, 128 + signal, or -1 on timeout.
int WaitForExit(pid_t pid, int timeoutMs);

/// The real KestrixSvc below the current KESTRIX_ROOT.
class ServiceUnderBench {
 public:
  ~ServiceUnderBench();

  /// Binds a notify socket in the root, starts `program` with NOTIFY_SOCKET pointing at it and waits at
  /// most 15 s for a datagram holding READY=1. Returns false (with a message on stderr) otherwise.
  bool Start(const std::string& program, const std::filesystem::path& root);

  /// Sends SIGTERM and waits at most 15 s; returns the exit code, or -1 when it had to be killed.
  int Stop();

 private:
  int m_socket = -1;
  ChildProgram m_child;
};

}  // namespace kestrix::bench
