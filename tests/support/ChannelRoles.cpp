// Client roles of the command channel, each run as a separate process by the channel tests.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "channel/ChannelNames.h"
#include "channel/CommandClient.h"
#include "common/Utf16.h"
#include "tests/support/Roles.h"

using namespace kestrix;

namespace {

int Fail(const char* what, int id, int i, long long detail = 0) {
  std::fprintf(stderr, "client %d, command %d: %s (%lld)\n", id, i, what, detail);
  return 1;
}

}  // namespace

// channel-client ID COUNT DIR: sends COUNT commands of three kinds and checks that every answer is its own.
KESTRIX_TESTPROC_ROLE("channel-client") {
  const int id = std::stoi(args.at(0));
  const int count = std::stoi(args.at(1));
  const std::filesystem::path dir = args.at(2);
  std::unique_ptr<platform::Mutex> mutex;
  OpenCommandMutex(mutex);
  const SendOptions bounded{30000, 30000};
  for (int i = 0; i < count; ++i) {
    switch (i % 3) {
      case 0: {
        // A real move of a file only this client knows: carried out exactly once, answered to this client.
        const auto source = dir / ("c" + std::to_string(id) + "_" + std::to_string(i));
        const auto target = dir / ("m" + std::to_string(id) + "_" + std::to_string(i));
        std::ofstream(source) << id << ' ' << i;
        MoveFileBlock b{};
        b.hdr = {CMD_MOVE_FILE, 99, sizeof b};
        SetFieldText(b.szExistingFile, 261, FromUtf8(source.string()));
        SetFieldText(b.szNewFile, 261, FromUtf8(target.string()));
        const MoveFileBlock sent = b;
        const int rc = SendCommandBlock(mutex.get(), &b, sizeof b, bounded);
        if (rc != 0) return Fail("move: send result", id, i, rc);
        if (b.bResult != 1 || b.dwLastError != 0) return Fail("move: reply", id, i, b.dwLastError);
        if (std::memcmp(b.szExistingFile, sent.szExistingFile, sizeof b.szExistingFile) != 0 ||
            std::memcmp(b.szNewFile, sent.szNewFile, sizeof b.szNewFile) != 0 || b.dwFlags != 0) {
          return Fail("move: request fields changed or another client's block came back", id, i);
        }
        if (std::filesystem::exists(source) || !std::filesystem::exists(target)) {
          return Fail("move: file not moved", id, i);
        }
        break;
      }
      case 1: {
        GetDeviceInfoBlock b{};
        b.hdr = {CMD_GET_DEVICE_INFO, 99, sizeof b};
        b.nIndex = id * 100000 + i;
        std::memset(&b.DeviceInfo, 0xCC, sizeof b.DeviceInfo);
        const int rc = SendCommandBlock(mutex.get(), &b, sizeof b, bounded);
        if (rc != 0) return Fail("info: send result", id, i, rc);
        if (b.nIndex != id * 100000 + i) return Fail("info: another client's index came back", id, i, b.nIndex);
        static const _DEVICE_INFO zero{};
        if (std::memcmp(&b.DeviceInfo, &zero, sizeof zero) != 0) return Fail("info: record not zeroed", id, i);
        break;
      }
      default: {
        CommandBlock h{CMD_CLEAR_RESULT, 0, 16};
        const int rc = SendCommandBlock(mutex.get(), &h, sizeof h, bounded);
        if (rc != 1 || h.dwStatus != 1 || h.dwCommand != CMD_CLEAR_RESULT || h.dwSize != 16) {
          return Fail("refused command: answer", id, i, rc);
        }
        break;
      }
    }
  }
  return 0;
}

// hold-command-mutex: takes the command mutex, says "held" on stdout and keeps it until killed.
KESTRIX_TESTPROC_ROLE("hold-command-mutex") {
  std::unique_ptr<platform::Mutex> mutex;
  OpenCommandMutex(mutex);
  if (!mutex || mutex->Wait(platform::INFINITE) == platform::WaitResult::Failed) {
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::minutes(5));
  return 0;
}
