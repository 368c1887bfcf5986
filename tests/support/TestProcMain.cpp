// The test helper program: `kestrix_testproc ROLE [ARGS...]` runs one registered role and exits with its code.
#include <cstdio>
#include <map>

#include "tests/support/Roles.h"

namespace kestrix::testproc {

static std::map<std::string, Role>& Roles() {
  static std::map<std::string, Role> roles;
  return roles;
}

bool RegisterRole(const std::string& name, Role role) {
  Roles()[name] = std::move(role);
  return true;
}

}  // namespace kestrix::testproc

int main(int argc, char** argv) {
  using namespace kestrix::testproc;
  if (argc < 2 || Roles().count(argv[1]) == 0) {
    std::fprintf(stderr, "usage: kestrix_testproc ROLE [ARGS...]; roles:");
    for (const auto& [name, role] : Roles()) {
      std::fprintf(stderr, " %s", name.c_str());
    }
    std::fprintf(stderr, "\n");
    return 64;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  return Roles()[argv[1]](args);
}
