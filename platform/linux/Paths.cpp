// The host's paths, all below the root that KESTRIX_ROOT names.
#include "platform/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "common/Win32Error.h"

namespace kestrix::platform {

std::filesystem::path RootDir() {
  const char* root = std::getenv("KESTRIX_ROOT");
  if (root == nullptr || *root == '\0') {
    return "/";
  }
  return root;
}

std::filesystem::path RegistryFile() { return RootDir() / "var/lib/kestrix/registry.db"; }

std::filesystem::path ObjectDir() { return RootDir() / "run/kestrix"; }

std::filesystem::path TempDir() { return RootDir() / "tmp"; }

uint32_t EnsureDirectory(const std::filesystem::path& dir, unsigned mode) {
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec)) {
    return ERROR_SUCCESS;
  }
  if (dir.has_parent_path() && dir.parent_path() != dir) {
    std::filesystem::create_directories(dir.parent_path(), ec);
  }
  if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
    return Win32FromErrno(errno);
  }
  // mkdir applies the umask; the mode asked for must hold exactly (the object directory is world-writable).
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return ERROR_PATH_NOT_FOUND;
  }
  if ((st.st_mode & 07777) != mode && st.st_uid == ::geteuid()) {
    ::chmod(dir.c_str(), mode);
  }
  return ERROR_SUCCESS;
}

}  // namespace kestrix::platform
