// Where the system keeps its files on this host: every path hangs off one root that a test or a demo can move.
#pragma once

#include <filesystem>

namespace kestrix::platform {

/// The root every other path hangs off: the value of KESTRIX_ROOT, or "/" when it is unset or empty.
std::filesystem::path RootDir();

/// The registry store's database file: <root>/var/lib/kestrix/registry.db.
std::filesystem::path RegistryFile();

/// The directory of the named kernel objects: <root>/run/kestrix. It is a tmpfs in production.
std::filesystem::path ObjectDir();

/// The directory for temporary files: <root>/tmp.
std::filesystem::path TempDir();

/// Creates `dir` and its missing parents with the given mode (umask not applied to the last one).
/// Returns a Win32 error number, ERROR_SUCCESS when the directory exists afterwards.
uint32_t EnsureDirectory(const std::filesystem::path& dir, unsigned mode);

}  // namespace kestrix::platform
