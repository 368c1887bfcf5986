// The systemd unit the installation puts in place: a notify service whose runtime directory holds the
// channel's objects, and a file systemd itself accepts.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/fixture/TestRoot.h"

namespace kestrix {
namespace {

TEST(UnitFileTest, IsANotifyServiceWithAWorldWritableRuntimeDirectory) {
  std::ifstream in(KESTRIX_UNIT_FILE);
  ASSERT_TRUE(in) << KESTRIX_UNIT_FILE;
  std::stringstream text;
  text << in.rdbuf();
  const std::string unit = text.str();
  for (const char* line : {"Type=notify\n", "RuntimeDirectory=kestrix\n", "RuntimeDirectoryMode=1777\n",
                           "StateDirectory=kestrix\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("@"), std::string::npos) << "a placeholder was left unfilled";

  // systemd's own checker, on a copy that names the program as built here.
  if (test::Run("/bin/sh", {"-c", "command -v systemd-analyze >/dev/null"}) != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  test::ScopedRoot root;
  const auto copy = root.Path() / "kestrixsvc.service";
  std::string patched = unit;
  const auto exec = patched.find("ExecStart=");
  patched.replace(exec, patched.find('\n', exec) - exec, std::string("ExecStart=") + KESTRIX_SVC);
  std::ofstream(copy) << patched;
  std::string out;
  EXPECT_EQ(test::Run("/bin/sh", {"-c", "systemd-analyze verify " + copy.string() + " 2>&1"}, &out), 0) << out;
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace kestrix
