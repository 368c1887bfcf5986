// The `kestrixctl reg` subcommand: query, add, delete and export of the registry store, in the manner of reg.exe.
#pragma once

namespace kestrix::ctl {

/// Runs `reg VERB KEY [options]`; argv[0] is "reg". Output goes to stdout, messages about failures to stderr
/// (naming the key or value and the Win32 error number). Returns 0 on success and 1 on any failure, usage
/// errors included.
int RunRegCommand(int argc, char** argv);

}  // namespace kestrix::ctl
