// The real KestrixSvc under a harness that plays systemd's side: every status report of a start, the controls
// and a stop, field by field, and a start that cannot create its command event.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <thread>

#include "channel/ChannelNames.h"
#include "channel/CommandClient.h"
#include "platform/KernelObjects.h"
#include "tests/fixture/ServiceProcess.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix {
namespace platform {
bool operator==(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
  return a.dwServiceType == b.dwServiceType && a.dwCurrentState == b.dwCurrentState &&
         a.dwControlsAccepted == b.dwControlsAccepted && a.dwWin32ExitCode == b.dwWin32ExitCode &&
         a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode && a.dwCheckPoint == b.dwCheckPoint &&
         a.dwWaitHint == b.dwWaitHint;
}
void PrintTo(const SERVICE_STATUS& s, std::ostream* os) {
  *os << "{state " << s.dwCurrentState << ", controls " << s.dwControlsAccepted << ", exit " << s.dwWin32ExitCode
      << ", checkpoint " << s.dwCheckPoint << ", hint " << s.dwWaitHint << ", type " << s.dwServiceType << "}";
}
}  // namespace platform

namespace {

using platform::SERVICE_STATUS;

// The reports of the table, by occasion.
constexpr SERVICE_STATUS Report(uint32_t state, uint32_t controls, uint32_t exitCode, uint32_t checkPoint,
                                uint32_t waitHint) {
  return {0x10, state, controls, exitCode, 0, checkPoint, waitHint};
}
const SERVICE_STATUS kRegistered = Report(2, 0, 0, 0, 5000);
const SERVICE_STATUS kObjectsMade = Report(2, 0, 0, 1, 1000);
const SERVICE_STATUS kStarting = Report(2, 0, 0, 2, 5000);
const SERVICE_STATUS kRunning = Report(4, 15, 0, 0, 0);
const SERVICE_STATUS kPausing = Report(6, 15, 0, 0, 1000);
const SERVICE_STATUS kPaused = Report(7, 15, 0, 0, 0);
const SERVICE_STATUS kContinuing = Report(5, 15, 0, 0, 1000);
const SERVICE_STATUS kStopping = Report(3, 15, 0, 0, 5000);
const SERVICE_STATUS kStopped = Report(1, 15, 0, 0, 0);

class ServiceHostTest : public ::testing::Test {
 protected:
  // Sends a control and waits until the reports it causes have arrived.
  std::vector<SERVICE_STATUS> Control(test::ServiceProcess& service, int signal, std::size_t expectedTotal) {
    service.Signal(signal);
    return service.Reports(expectedTotal);
  }

  test::ScopedRoot m_root;
};

TEST_F(ServiceHostTest, StartAndStopReportEveryStepInOrder) {
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());
  EXPECT_EQ(service.Reports(4), (std::vector<SERVICE_STATUS>{kRegistered, kObjectsMade, kStarting, kRunning}));
  uint32_t error = 0;
  EXPECT_TRUE(platform::Mutex::Open(u"Global\\Vidorud", error)) << "the presence mutex is missing";

  EXPECT_EQ(service.Stop(), 0);
  EXPECT_FALSE(platform::Mutex::Open(u"Global\\Vidorud", error));
  // The control handler's stop sequence reports stopped, and so does the service main routine's second run.
  EXPECT_EQ(service.Reports(7), (std::vector<SERVICE_STATUS>{kRegistered, kObjectsMade, kStarting, kRunning,
                                                               kStopping, kStopped, kStopped}));
}

TEST_F(ServiceHostTest, PauseHoldsTheWorkerUntilContinue) {
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());
  std::vector<SERVICE_STATUS> expected{kRegistered, kObjectsMade, kStarting, kRunning};
  ASSERT_EQ(service.Reports(4), expected);

  expected.insert(expected.end(), {kPausing, kPaused});
  ASSERT_EQ(Control(service, SIGUSR1, 6), expected);
  expected.push_back(kRunning);  // a second pause changes nothing and says running
  ASSERT_EQ(Control(service, SIGUSR1, 7), expected);
  expected.push_back(kRunning);  // interrogate while paused
  ASSERT_EQ(Control(service, SIGWINCH, 8), expected);

  // While paused no command is taken up: the client waits until the continue.
  auto pending = std::async(std::launch::async, [] {
    std::unique_ptr<platform::Mutex> mutex;
    OpenCommandMutex(mutex);
    CommandBlock h{CMD_CLEAR_RESULT, 9, 12};
    return SendCommandBlock(mutex.get(), &h, sizeof h, {20000, 20000});
  });
  EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);

  expected.insert(expected.end(), {kContinuing, kRunning});
  ASSERT_EQ(Control(service, SIGUSR2, 10), expected);
  EXPECT_EQ(pending.get(), 0);

  expected.push_back(kRunning);  // continue while running changes nothing
  ASSERT_EQ(Control(service, SIGUSR2, 11), expected);
  expected.push_back(kRunning);  // a control without an action of its own (parameter change)
  ASSERT_EQ(Control(service, SIGHUP, 12), expected);
}

TEST_F(ServiceHostTest, ShutdownWhilePausedStopsTheHeldWorker) {
  test::ServiceProcess service;
  ASSERT_TRUE(service.Ready());
  ASSERT_EQ(service.Reports(4).size(), 4u);
  ASSERT_EQ(Control(service, SIGUSR1, 6).back(), kPaused);
  service.Signal(SIGPWR);
  EXPECT_EQ(service.WaitExit(), 0);
  EXPECT_EQ(service.Reports(), (std::vector<SERVICE_STATUS>{kRegistered, kObjectsMade, kStarting, kRunning, kPausing,
                                                             kPaused, kStopping, kStopped, kStopped}));
  // The channel's objects went with the service.
  CommandBlock h{CMD_CLEAR_RESULT, 0, 12};
  EXPECT_EQ(SendCommand(nullptr, h), kSendUnreachable);
}

TEST_F(ServiceHostTest, CommandEventThatCannotBeCreatedStopsWithItsError) {
  // A mutex holds the command event's name, so the event cannot be created (ERROR_INVALID_HANDLE).
  uint32_t error = 0;
  auto squatter = platform::Mutex::Create(CommandEventName(), false, error);
  ASSERT_TRUE(squatter);

  test::ServiceProcess service(false);
  EXPECT_EQ(service.WaitExit(), 0);
  EXPECT_EQ(service.Reports(), (std::vector<SERVICE_STATUS>{kRegistered, Report(1, 15, 6, 0, 0)}));
  // No worker ran: nothing answers on the channel, and the shared block was never made or is gone.
  EXPECT_FALSE(platform::Section::Open(SharedBlockName(), error));
}

TEST_F(ServiceHostTest, StartedOutsideTheServiceManagerReturnsAtOnce) {
  ::unsetenv("NOTIFY_SOCKET");
  std::string out;
  EXPECT_EQ(test::Run(KESTRIX_SVC, {}, &out, 10000), 0);
  uint32_t error = 0;
  EXPECT_FALSE(platform::Event::Open(CommandEventName(), error));
}

}  // namespace
}  // namespace kestrix
