// Run-time loading: only full paths, and only from the system directory once the search is hardened.
#include "platform/Loader.h"

#include <gtest/gtest.h>

#include "common/Win32Error.h"
#include "platform/LastError.h"

namespace kestrix::platform {
namespace {

TEST(LoaderTest, LoadsByFullPathOnlyAndFromTheSystemDirectoryOnceHardened) {
  const std::string system = GetSystemDirectory();
  ASSERT_FALSE(system.empty());

  EXPECT_EQ(LoadLibraryW("libm.so.6"), nullptr);  // a bare name is never searched for
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LoadLibraryW(system + "/../" + system.substr(system.find_last_of('/') + 1) + "/libm.so.6"), nullptr);

  void* libm = LoadLibraryW(system + "/libm.so.6");
  ASSERT_NE(libm, nullptr);
  EXPECT_NE(GetProcAddress(libm, "cos"), nullptr);
  EXPECT_EQ(GetProcAddress(libm, "NoSuchSymbol"), nullptr);
  FreeLibrary(libm);

  EXPECT_EQ(SetDefaultDllDirectories(0x1000), 0);
  ::setenv("LD_LIBRARY_PATH", "/tmp", 1);
  ASSERT_NE(SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), 0);
  EXPECT_EQ(std::getenv("LD_LIBRARY_PATH"), nullptr);
  EXPECT_EQ(LoadLibraryW("/tmp/libm.so.6"), nullptr);  // outside the system directory
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  libm = LoadLibraryW(system + "/libm.so.6");
  EXPECT_NE(libm, nullptr);
  FreeLibrary(libm);
}

}  // namespace
}  // namespace kestrix::platform
