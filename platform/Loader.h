// Loading shared libraries at run time only by full path from the system library directory.
#pragma once

#include <cstdint>
#include <string>

namespace kestrix::platform {

inline constexpr uint32_t LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;

/// The C library's file name: the module every program of this system has loaded, as kernel32 is on Windows.
inline constexpr char kKernelLibrary[] = "libc.so.6";

/// The directory the system's shared libraries are loaded from (the one the C library itself came from).
/// Empty when it cannot be told.
std::string GetSystemDirectory();

/// Loads a library by its full path. Returns null (last error set) for a relative name, or for a path outside
/// the system directory once SetDefaultDllDirectories restricted the search to it.
void* LoadLibraryW(const std::string& fullPath);

/// The address of an exported symbol, or null (last error set).
void* GetProcAddress(void* module, const char* name);

/// Releases a library loaded with LoadLibraryW; null is ignored.
void FreeLibrary(void* module);

/// Restricts later loads to the system directory (LOAD_LIBRARY_SEARCH_SYSTEM32), and drops LD_LIBRARY_PATH
/// and LD_PRELOAD from the environment so that programs this process starts search only the system's paths.
/// Returns non-zero on success; other flags fail with ERROR_INVALID_PARAMETER.
int SetDefaultDllDirectories(uint32_t flags);

}  // namespace kestrix::platform
