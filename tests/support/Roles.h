// Roles of the test helper program: each is a small program a test starts as a separate real process.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestrix::testproc {

using Role = std::function<int(const std::vector<std::string>& args)>;

/// Registers a role under `name`; used through KESTRIX_TESTPROC_ROLE at namespace scope.
bool RegisterRole(const std::string& name, Role role);

}  // namespace kestrix::testproc

#define KESTRIX_TESTPROC_CAT2(a, b) a##b
#define KESTRIX_TESTPROC_CAT(a, b) KESTRIX_TESTPROC_CAT2(a, b)
/// Defines a role: KESTRIX_TESTPROC_ROLE("hold-mutex") { ... return 0; } with `args` the words after the name.
#define KESTRIX_TESTPROC_ROLE(name)                                                                        \
  static int KESTRIX_TESTPROC_CAT(RoleFn_, __LINE__)(const std::vector<std::string>& args);              \
  static const bool KESTRIX_TESTPROC_CAT(RoleReg_, __LINE__) =                                            \
      ::kestrix::testproc::RegisterRole(name, KESTRIX_TESTPROC_CAT(RoleFn_, __LINE__));                    \
  static int KESTRIX_TESTPROC_CAT(RoleFn_, __LINE__)([[maybe_unused]] const std::vector<std::string>& args)
