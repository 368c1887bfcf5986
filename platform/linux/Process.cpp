// Starting programs by command line with posix_spawnp, and the program's own path.
#include "platform/Process.h"

#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/LastError.h"

extern char** environ;

namespace kestrix::platform {

namespace {

// Blanks separate words; a double quote starts or ends a quoted part inside which blanks are kept.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool have = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      have = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (have) words.push_back(word);
      word.clear();
      have = false;
    } else {
      word += c;
      have = true;
    }
  }
  if (have) words.push_back(word);
  return words;
}

class PosixRunner : public ProcessRunner {
 public:
  int RunAndWait(const std::u16string& commandLine) override {
    std::vector<std::string> words = SplitCommandLine(ToUtf8(commandLine));
    if (words.empty()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
      SetLastError(Win32FromErrno(rc));
      return 0;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return 1;
  }
};

}  // namespace

ProcessRunner& SystemProcessRunner() {
  static PosixRunner runner;
  return runner;
}

std::u16string GetModuleFileName() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    return {};
  }
  return FromUtf8(std::string(path, static_cast<size_t>(n)));
}

}  // namespace kestrix::platform
