// Starting a program by its command line and waiting for it, as the installation runs the firewall's tool.
#pragma once

#include <string>

namespace kestrix::platform {

/// Starts a program from a command line (split as Windows splits one: blanks separate words, double quotes
/// group them) and waits for its end without a time limit. The program is found on the system's PATH.
/// Returns non-zero when it was started and has ended, whatever its exit code; 0 (last error set) when it
/// could not be started.
class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  virtual int RunAndWait(const std::u16string& commandLine) = 0;
};

/// The host's runner (posix_spawnp).
ProcessRunner& SystemProcessRunner();

/// The full path of the running program ("/proc/self/exe"); empty when it cannot be read.
std::u16string GetModuleFileName();

}  // namespace kestrix::platform
