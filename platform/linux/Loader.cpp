// Run-time library loading by full path, restricted to the system library directory once hardened.
#include "platform/Loader.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/Win32Error.h"
#include "platform/LastError.h"

namespace kestrix::platform {

namespace {

std::atomic<bool> g_systemOnly{false};

int FindLibc(struct dl_phdr_info* info, size_t, void* data) {
  const char* name = info->dlpi_name;
  if (name != nullptr && std::strstr(name, "/libc.so.") != nullptr) {
    *static_cast<std::string*>(data) = name;
    return 1;
  }
  return 0;
}

}  // namespace

std::string GetSystemDirectory() {
  std::string libc;
  dl_iterate_phdr(FindLibc, &libc);
  const auto slash = libc.find_last_of('/');
  if (slash == std::string::npos || slash == 0) {
    return {};
  }
  return libc.substr(0, slash);
}

void* LoadLibraryW(const std::string& fullPath) {
  if (fullPath.empty() || fullPath[0] != '/' || fullPath.find("/../") != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (g_systemOnly) {
    const std::string dir = GetSystemDirectory();
    if (dir.empty() || fullPath.compare(0, dir.size() + 1, dir + "/") != 0 ||
        fullPath.find('/', dir.size() + 1) != std::string::npos) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  }
  void* module = ::dlopen(fullPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  return module;
}

void* GetProcAddress(void* module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* address = ::dlsym(module, name);
  if (address == nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
  }
  return address;
}

void FreeLibrary(void* module) {
  if (module != nullptr) {
    ::dlclose(module);
  }
}

int SetDefaultDllDirectories(uint32_t flags) {
  if (flags != LOAD_LIBRARY_SEARCH_SYSTEM32) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  g_systemOnly = true;
  ::unsetenv("LD_LIBRARY_PATH");
  ::unsetenv("LD_PRELOAD");
  return 1;
}

}  // namespace kestrix::platform
