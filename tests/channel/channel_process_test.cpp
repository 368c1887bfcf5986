// The command channel between separate real processes: the real KestrixSvc, client processes and kestrixctl.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "channel/ChannelNames.h"
#include "channel/CommandClient.h"
#include "common/ServiceKey.h"
#include "common/Utf16.h"
#include "platform/Registry.h"
#include "tests/fixture/ServiceProcess.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix {
namespace {

using test::Child;

class ChannelProcessTest : public ::testing::Test {
 protected:
  test::ScopedRoot m_root;
};

TEST_F(ChannelProcessTest, ServiceNotRunningAnswersFour) {
  std::unique_ptr<platform::Mutex> mutex;
  EXPECT_EQ(OpenCommandMutex(mutex), 1);
  ASSERT_TRUE(mutex);
  CommandBlock h{CMD_CLEAR_RESULT, 7, 12};
  EXPECT_EQ(SendCommand(mutex.get(), h), kSendUnreachable);
  EXPECT_EQ(h.dwStatus, 7u);  // nothing was sent, nothing read back
  // The turn was given back: the mutex is free for the next caller.
  EXPECT_EQ(mutex->Wait(0), platform::WaitResult::Signaled);
  mutex->Release();

  // Once the service has stopped, its objects are gone with it and the answer is 4 again.
  {
    test::ServiceProcess service;
    ASSERT_TRUE(service.Ready());
    h = {CMD_CLEAR_RESULT, 7, 12};
    EXPECT_EQ(SendCommand(mutex.get(), h), 0);
    EXPECT_EQ(service.Stop(), 0);
  }
  h = {CMD_CLEAR_RESULT, 7, 12};
  EXPECT_EQ(SendCommand(mutex.get(), h), kSendUnreachable);
}

TEST_F(ChannelProcessTest, HeaderOnlyCommandsThroughTheRealService) {
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());
  std::unique_ptr<platform::Mutex> mutex;
  OpenCommandMutex(mutex);
  struct {
    CommandBlock sent;
    int result;
  } const cases[] = {
      {{CMD_CLEAR_RESULT, 0, 12}, 0}, {{CMD_CLEAR_RESULT, 0, 16}, 1}, {{239, 0, 12}, 1},
      {{249, 5, 1068}, 1},            {{CMD_SET_LANGUAGE, 3, 12}, 1},
  };
  for (const auto& c : cases) {
    CommandBlock h = c.sent;
    EXPECT_EQ(SendCommand(mutex.get(), h), c.result) << c.sent.dwCommand << "/" << c.sent.dwSize;
    EXPECT_EQ(h.dwCommand, c.sent.dwCommand);
    EXPECT_EQ(h.dwSize, c.sent.dwSize);
    EXPECT_EQ(h.dwStatus, static_cast<uint32_t>(c.result));
  }
}

TEST_F(ChannelProcessTest, ManyClientProcessesGetEveryReplyUnmixed) {
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());
  const auto dir = m_root.Path() / "moves";
  std::filesystem::create_directories(dir);
  constexpr int kClients = 6;
  constexpr int kCommands = 150;
  std::vector<Child> clients;
  for (int id = 0; id < kClients; ++id) {
    clients.push_back(Child::Role("channel-client", {std::to_string(id), std::to_string(kCommands), dir.string()}));
  }
  for (auto& client : clients) {
    EXPECT_EQ(client.Wait(120000), 0);
  }
  // Every move happened exactly once: each source is gone and each target is there.
  int moved = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename().string()[0], 'm') << entry.path();
    ++moved;
  }
  EXPECT_EQ(moved, kClients * ((kCommands + 2) / 3));
}

TEST_F(ChannelProcessTest, ClientKilledWhileHoldingTheMutexDoesNotBlockTheNext) {
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());

  // The holder prints "held" once it owns the mutex; the shell sends that into a file the test watches.
  const auto marker = m_root.Path() / "held";
  Child holder(
      "/bin/sh", {"-c", std::string("exec ") + KESTRIX_TESTPROC + " hold-command-mutex > " + marker.string()});
  auto held = [&] {
    std::error_code ec;
    return std::filesystem::file_size(marker, ec) > 0 && !ec;
  };
  for (int i = 0; i < 1000 && !held(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(held()) << "the holder never took the mutex";

  std::unique_ptr<platform::Mutex> mutex;
  OpenCommandMutex(mutex);
  CommandBlock h{CMD_CLEAR_RESULT, 0, 12};
  EXPECT_EQ(SendCommandBlock(mutex.get(), &h, sizeof h, {200, 5000}), kSendTimedOut);  // it is held

  holder.Kill(SIGKILL);
  holder.Wait();
  h = {CMD_CLEAR_RESULT, 9, 12};
  EXPECT_EQ(SendCommandBlock(mutex.get(), &h, sizeof h, {10000, 10000}), 0);
  EXPECT_EQ(h.dwStatus, 0u);
}

TEST_F(ChannelProcessTest, KestrixctlAnswersThroughARunningService) {
  // Not running: its own exit code and a clear message.
  std::string out;
  EXPECT_EQ(test::Run(KESTRIXCTL, {"--timeout", "2", "info", "0"}, &out), 3);

  platform::HKEY key = nullptr;
  ASSERT_EQ(platform::RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, kServiceKeyPath, platform::KEY_ALL_ACCESS, &key,
                                      nullptr),
            0u);
  platform::RegCloseKey(key);
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());

  EXPECT_EQ(test::Run(KESTRIXCTL, {"language", "6"}, &out), 0);
  out.clear();
  EXPECT_EQ(test::Run(KESTRIXCTL, {"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\KestrixSvc", "/v", "Language"},
                &out),
            0);
  EXPECT_NE(out.find("0x6"), std::string::npos) << out;

  out.clear();
  EXPECT_EQ(test::Run(KESTRIXCTL, {"--json", "info", "-1"}, &out), 1);
  EXPECT_NE(out.find("\"present\":false"), std::string::npos) << out;

  const auto source = m_root.Path() / "firmware.bin";
  std::ofstream(source) << "image";
  out.clear();
  EXPECT_EQ(test::Run(KESTRIXCTL, {"--json", "move", source.string(), (m_root.Path() / "moved.bin").string()}, &out), 0);
  EXPECT_EQ(out, "{\"bResult\":1,\"dwLastError\":0}\n");
  out.clear();
  EXPECT_EQ(test::Run(KESTRIXCTL, {"--json", "move", source.string(), (m_root.Path() / "again.bin").string()}, &out), 1);
  EXPECT_EQ(out, "{\"bResult\":0,\"dwLastError\":2}\n");

  // Raw: a command 240 whose bytes 34 and 35 come back as the client wrote them.
  out.clear();
  EXPECT_EQ(test::Run(KESTRIXCTL, {"raw", "--hex", "f0000000 05000000 28000000 ffffffff" + std::string(36, 'e') + "abcd" +
                                                 "77777777"},
                &out),
            0);
  ASSERT_EQ(out.size(), 81u) << out;
  EXPECT_EQ(out.substr(0, 24), "f00000000000000028000000");   // status 0
  EXPECT_EQ(out.substr(24, 8), "00000000");                    // no drives
  EXPECT_EQ(out.substr(32, 36), std::string(36, '0'));         // empty version
  EXPECT_EQ(out.substr(68, 4), "abcd");                        // bytes 34-35 untouched
  EXPECT_EQ(out.substr(72, 8), "00000000");                    // not valid

  out.clear();
  EXPECT_EQ(test::Run(KESTRIXCTL, {"raw", "--hex", "f3000000 00000000 10000000 01020304"}, &out), 6);
  EXPECT_EQ(out, "f30000000100000010000000" "01020304\n");
}

}  // namespace
}  // namespace kestrix
