// Helper-program roles for the registry store tests: an unprivileged reader, concurrent writers, a writer that is killed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/Registry.h"
#include "tests/support/Roles.h"

namespace {

using namespace kestrix;
using namespace kestrix::platform;

std::u16string U(const std::string& s) { return FromUtf8(s); }

/// The bytes the killed writer stores as value number i (a few pages, so that one commit writes many pages);
/// the test computes the same.
std::vector<uint8_t> AckedValueBytes(uint64_t i) {
  const std::string digits = std::to_string(i) + ";";
  std::vector<uint8_t> out;
  while (out.size() < 1000 * (i % 13 + 1)) out.insert(out.end(), digits.begin(), digits.end());
  return out;
}

}  // namespace

// reg-unprivileged KEY VALUE: drops to nobody, then prints "operation result" lines for reads and refused writes.
KESTRIX_TESTPROC_ROLE("reg-unprivileged") {
  if (args.size() != 2) return 64;
  if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
    std::perror("setuid");
    return 65;
  }
  const std::u16string key = U(args[0]);
  const std::u16string value = U(args[1]);
  auto report = [](const char* op, uint32_t rc) { std::printf("%s %u\n", op, rc); };

  HKEY h = nullptr;
  uint32_t rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h);
  report("open-read", rc);
  if (rc == ERROR_SUCCESS) {
    uint32_t type = 0, size = 0;
    rc = RegQueryValueExW(h, value.c_str(), &type, nullptr, &size);
    std::vector<uint8_t> data(size);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(h, value.c_str(), &type, data.data(), &size);
    report("query", rc);
    std::printf("data %u", type);
    for (const uint8_t b : data) std::printf(" %02x", b);
    std::printf("\n");
    report("set-on-read-handle", RegSetValueExW(h, value.c_str(), REG_SZ, nullptr, 0));
    report("delete-value-on-read-handle", RegDeleteValueW(h, value.c_str()));
    RegCloseKey(h);
  }
  const struct {
    const char* op;
    uint32_t sam;
  } kWriteAsks[] = {{"open-set-value", KEY_SET_VALUE},   {"open-create-sub-key", KEY_CREATE_SUB_KEY},
                    {"open-write", KEY_WRITE},           {"open-all-access", KEY_ALL_ACCESS},
                    {"open-generic-write", 0x40000000u}, {"open-delete", 0x00010000u}};
  for (const auto& ask : kWriteAsks) {
    HKEY w = nullptr;
    rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, ask.sam, &w);
    report(ask.op, rc);
    if (rc == ERROR_SUCCESS) RegCloseKey(w);
  }
  HKEY c = nullptr;
  report("create-existing", RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ, &c, nullptr));
  report("delete-key", RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()));
  report("set-on-root", RegSetValueExW(HKEY_LOCAL_MACHINE, value.c_str(), REG_SZ, nullptr, 0));
  return 0;
}

// reg-writer KEY PREFIX COUNT: writes COUNT values PREFIX-i (data: the name as UTF-8) into KEY, creating a shared
// sub-key on every round so that creations race too. Exits 1 on the first failure.
KESTRIX_TESTPROC_ROLE("reg-writer") {
  if (args.size() != 3) return 64;
  const int count = std::stoi(args[2]);
  HKEY h = nullptr;
  uint32_t rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, U(args[0]).c_str(), KEY_ALL_ACCESS, &h, nullptr);
  for (int i = 0; rc == ERROR_SUCCESS && i < count; ++i) {
    const std::string name = args[1] + "-" + std::to_string(i);
    rc = RegSetValueExW(h, U(name).c_str(), REG_BINARY, reinterpret_cast<const uint8_t*>(name.data()),
                        static_cast<uint32_t>(name.size()));
    HKEY shared = nullptr;
    if (rc == ERROR_SUCCESS) rc = RegCreateKeyExW(h, u"Shared\\Deep", KEY_READ, &shared, nullptr);
    if (shared != nullptr) RegCloseKey(shared);
    if (rc != ERROR_SUCCESS) std::fprintf(stderr, "reg-writer %s: error %u\n", name.c_str(), rc);
  }
  RegCloseKey(h);
  return rc == ERROR_SUCCESS ? 0 : 1;
}

// reg-writer-acked KEY START PROGRESS: writes values v<START>, v<START+1>, ... until killed; after each write has
// returned, appends its count to the PROGRESS file (one write call, so a kill never leaves half a line). Sub-keys
// and a rewritten scratch value go along so that a kill can land in other kinds of change too.
KESTRIX_TESTPROC_ROLE("reg-writer-acked") {
  if (args.size() != 3) return 64;
  const int progress = ::open(args[2].c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (progress < 0) return 65;
  HKEY h = nullptr;
  uint32_t rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, U(args[0]).c_str(), KEY_ALL_ACCESS, &h, nullptr);
  for (uint64_t i = std::stoull(args[1]); rc == ERROR_SUCCESS; ++i) {
    const std::vector<uint8_t> data = AckedValueBytes(i);
    rc = RegSetValueExW(h, U("v" + std::to_string(i)).c_str(), REG_BINARY, data.data(),
                        static_cast<uint32_t>(data.size()));
    if (rc != ERROR_SUCCESS) break;
    const std::string line = std::to_string(i + 1) + "\n";
    if (::write(progress, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 66;
    if (i % 5 == 0) {
      HKEY sub = nullptr;
      rc = RegCreateKeyExW(h, U("k" + std::to_string(i)).c_str(), KEY_READ, &sub, nullptr);
      if (sub != nullptr) RegCloseKey(sub);
      if (rc == ERROR_SUCCESS) rc = RegSetValueExW(h, u"scratch", REG_BINARY, data.data(), static_cast<uint32_t>(data.size()));
      if (rc == ERROR_SUCCESS) rc = RegDeleteValueW(h, u"scratch");
    }
  }
  std::fprintf(stderr, "reg-writer-acked: error %u\n", rc);
  return 1;
}
