// Tests of the named kernel objects (sections, events, mutexes) shared by real separate processes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/KernelObjects.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/linux/KernelObjectsFile.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix::platform {
namespace {

namespace fs = std::filesystem;
using test::Child;

constexpr char kInfinite[] = "4294967295";

/// Each test gets its own root; `Marker` names files in a world-writable folder of it through which the
/// helper processes (an unprivileged one included) report that they are set up, and are told to end.
class KernelObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_root.Path() / "sync");
    ::chmod((m_root.Path() / "sync").c_str(), 0777);
  }

  std::string Marker(const std::string& name) const { return (m_root.Path() / "sync" / name).string(); }

  static void Touch(const std::string& path) { std::ofstream(path) << "go\n"; }

  /// Waits for a child's marker; fails (with the child's exit code, when it ended) if it never comes.
  static ::testing::AssertionResult AwaitReady(Child& child, const std::string& marker) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(marker)) {
      if (const int rc = child.Wait(0); rc != -1) {
        return ::testing::AssertionFailure() << "child ended with " << rc << " before " << marker;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << "no " << marker;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ::testing::AssertionSuccess();
  }

  test::ScopedRoot m_root;
};

bool AllBytes(SectionView& view, uint8_t value) {
  return std::all_of(view.Data(), view.Data() + view.Size(), [value](uint8_t b) { return b == value; });
}

// ---- Sections -------------------------------------------------------------------------------------------

using SectionTest = KernelObjectTest;

TEST_F(SectionTest, SharedBetweenProcessesAndCreateJoinsTheLiveOne) {
  const std::string ready = Marker("ready"), go = Marker("go");
  Child filler = Child::Role("ko-section-fill", {"Global\\KxShared", "10000", "60", ready, go});
  ASSERT_TRUE(AwaitReady(filler, ready));

  uint32_t error = 0;
  auto section = Section::Create(u"Global\\KxShared", 20000, error);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(section->Size(), 10000u);  // the existing section keeps its own size
  auto view = section->MapView(error);
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(view->Size(), 10000u);
  EXPECT_TRUE(AllBytes(*view, 60));

  // And the other way: what this process writes, another one reads, and its write comes back here.
  std::fill(view->Data(), view->Data() + view->Size(), uint8_t{61});
  EXPECT_EQ(test::Run(KESTRIX_TESTPROC, {"ko-section-check", "Global\\KxShared", "10000", "61"}), 0);
  EXPECT_EQ(view->Data()[0], 62);

  Touch(go);
  EXPECT_EQ(filler.Wait(), 0);
}

// How the last holder goes away must not matter: a clean exit and SIGKILL both end the section.
struct HolderEnd {
  const char* label;
  bool kill;
};
void PrintTo(const HolderEnd& c, std::ostream* os) { *os << c.label; }

class SectionLifetimeTest : public KernelObjectTest, public ::testing::WithParamInterface<HolderEnd> {};

TEST_P(SectionLifetimeTest, GoneWithItsLastHolderAndMadeAnewZeroed) {
  const std::string ready = Marker("ready"), go = Marker("go");
  Child holder = Child::Role("ko-section-fill", {"Global\\KxLife", "8192", "33", ready, GetParam().kill ? "-" : go});
  ASSERT_TRUE(AwaitReady(holder, ready));

  uint32_t error = 0;
  auto joined = Section::Open(u"Global\\KxLife", error);
  ASSERT_NE(joined, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_EQ(joined->Size(), 8192u);
  joined.reset();  // not the last holder: the section lives on
  EXPECT_NE(Section::Open(u"Global\\KxLife", error), nullptr);

  if (GetParam().kill) {
    holder.Kill(SIGKILL);
    EXPECT_EQ(holder.Wait(), 128 + SIGKILL);
  } else {
    Touch(go);
    EXPECT_EQ(holder.Wait(), 0);
  }
  EXPECT_EQ(Section::Open(u"Global\\KxLife", error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  // A new section of that name starts from zeros, whatever the killed holder left in a file behind it.
  auto fresh = Section::Create(u"Global\\KxLife", 8192, error);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  auto view = fresh->MapView(error);
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(AllBytes(*view, 0));
}

INSTANTIATE_TEST_SUITE_P(HolderEnds, SectionLifetimeTest,
                         ::testing::Values(HolderEnd{"Exits", false}, HolderEnd{"Killed", true}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(SectionTest, ViewKeepsTheSectionAliveAfterTheObjectIsGone) {
  uint32_t error = 0;
  auto section = Section::Create(u"Global\\KxView", 3000, error);
  ASSERT_NE(section, nullptr);
  auto view = section->MapView(error);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->Size(), 3000u);
  section.reset();

  std::fill(view->Data(), view->Data() + view->Size(), uint8_t{9});
  EXPECT_EQ(test::Run(KESTRIX_TESTPROC, {"ko-section-check", "Global\\KxView", "3000", "9"}), 0);
  EXPECT_EQ(view->Data()[0], 10);

  view.reset();
  EXPECT_EQ(Section::Open(u"Global\\KxView", error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(SectionTest, ConcurrentCreatorsAndClosersAlwaysShareOneLiveSection) {
  std::vector<Child> churners;
  for (int slot = 0; slot < 4; ++slot) {
    churners.push_back(Child::Role("ko-churn", {"Global\\KxChurn", "300", std::to_string(slot)}));
  }
  for (auto& churner : churners) {
    EXPECT_EQ(churner.Wait(60000), 0);
  }
  uint32_t error = 0;
  EXPECT_EQ(Section::Open(u"Global\\KxChurn", error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(SectionTest, ZeroSizeIsRefused) {
  uint32_t error = 0;
  EXPECT_EQ(Section::Create(u"Global\\KxEmpty", 0, error), nullptr);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

// ---- Names ----------------------------------------------------------------------------------------------

struct NameCase {
  std::u16string name;
  uint32_t error;  // of Section::Create
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << '"' << ToUtf8(c.name) << "\" -> " << c.error; }

class KernelObjectNameTest : public KernelObjectTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(KernelObjectNameTest, CreateMapsTheNameToOneFileInTheObjectDirectory) {
  uint32_t error = 12345;
  auto section = Section::Create(GetParam().name, 4096, error);
  EXPECT_EQ(error, GetParam().error);
  ASSERT_EQ(section != nullptr, GetParam().error == ERROR_SUCCESS);
  if (section != nullptr) {
    // Whatever the name holds ('/', "..", a leading '.'), it is one file directly in the object directory.
    std::vector<fs::path> entries;
    for (const auto& e : fs::recursive_directory_iterator(ObjectDir())) {
      entries.push_back(e.path());
    }
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(entries[0])));
    EXPECT_FALSE(fs::exists(m_root.Path() / "escape"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, KernelObjectNameTest,
    ::testing::Values(NameCase{u"Global\\KestrixSvcMem", ERROR_SUCCESS}, NameCase{u"Plain", ERROR_SUCCESS},
                      NameCase{u"Global\\a/b", ERROR_SUCCESS}, NameCase{u"Global\\..", ERROR_SUCCESS},
                      NameCase{u"Global\\../../../escape", ERROR_SUCCESS}, NameCase{u"Global\\.hidden", ERROR_SUCCESS},
                      NameCase{u"Global\\" + std::u16string(255, u'n'), ERROR_SUCCESS},
                      NameCase{u"Global\\" + std::u16string(256, u'n'), ERROR_FILENAME_EXCED_RANGE},
                      NameCase{u"Global\\" + std::u16string(86, u'/'), ERROR_FILENAME_EXCED_RANGE},
                      NameCase{u"", ERROR_INVALID_NAME}, NameCase{u"Global\\", ERROR_INVALID_NAME},
                      NameCase{u"Local\\", ERROR_INVALID_NAME}));

TEST_F(KernelObjectTest, DistinctNamesNeverShareAnObject) {
  // Names an escaping scheme could fold together: an escape character written out, a lone surrogate
  // (which a UTF-8 conversion would turn into U+FFFD), letter case.
  const std::vector<std::u16string> names{u"a/b",    u"a%2Fb",     u"a%2fb", u".x",     u"%2Ex",
                                          u"\u00e9", u"%E9",       u"%u00E9", u"\xD800", u"\xDC00",
                                          u"\uFFFD", u"Kx",        u"kx",     u"a\\b",   u"a%5Cb"};
  std::vector<std::unique_ptr<Section>> held;
  for (const auto& name : names) {
    uint32_t error = 0;
    held.push_back(Section::Create(name, 4096, error));
    ASSERT_NE(held.back(), nullptr) << ToUtf8(name);
    EXPECT_EQ(error, ERROR_SUCCESS) << ToUtf8(name) << " shares an object with an earlier name";
  }
}

TEST_F(KernelObjectTest, PrefixesNameTheSameObject) {
  uint32_t error = 0;
  auto first = Section::Create(u"Kx", 4096, error);
  ASSERT_NE(first, nullptr);
  for (const std::u16string name : {u"Global\\Kx", u"GLOBAL\\Kx", u"Local\\Kx"}) {
    auto again = Section::Create(name, 4096, error);
    ASSERT_NE(again, nullptr) << ToUtf8(name);
    EXPECT_EQ(error, ERROR_ALREADY_EXISTS) << ToUtf8(name);
  }
}

// ---- One namespace for all kinds --------------------------------------------------------------------------

enum class Kind { Section, Event, Mutex };

/// Creates (or opens) an object of `kind`; the returned holder keeps it alive.
std::shared_ptr<void> Make(Kind kind, const std::u16string& name, bool create, uint32_t& error) {
  switch (kind) {
    case Kind::Section:
      return create ? std::shared_ptr<void>(Section::Create(name, 4096, error)) : Section::Open(name, error);
    case Kind::Event:
      return create ? std::shared_ptr<void>(Event::Create(name, false, false, error)) : Event::Open(name, error);
    case Kind::Mutex:
      return create ? std::shared_ptr<void>(Mutex::Create(name, false, error)) : Mutex::Open(name, error);
  }
  return nullptr;
}

struct KindClash {
  const char* label;
  Kind holder;
  Kind other;
};
void PrintTo(const KindClash& c, std::ostream* os) { *os << c.label; }

class KernelObjectKindTest : public KernelObjectTest, public ::testing::WithParamInterface<KindClash> {};

TEST_P(KernelObjectKindTest, NameHeldByAnotherKindIsRefused) {
  const std::u16string name = u"Global\\KxKind";
  uint32_t error = 0;
  auto holder = Make(GetParam().holder, name, true, error);
  ASSERT_NE(holder, nullptr);
  for (const bool create : {true, false}) {
    EXPECT_EQ(Make(GetParam().other, name, create, error), nullptr) << (create ? "create" : "open");
    EXPECT_EQ(error, ERROR_INVALID_HANDLE) << (create ? "create" : "open");
  }
  // The clash left the holder's object alone, and once it is gone the name is free for the other kind.
  EXPECT_NE(Make(GetParam().holder, name, false, error), nullptr);
  holder.reset();
  EXPECT_NE(Make(GetParam().other, name, true, error), nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KernelObjectKindTest,
                         ::testing::Values(KindClash{"SectionThenEvent", Kind::Section, Kind::Event},
                                           KindClash{"SectionThenMutex", Kind::Section, Kind::Mutex},
                                           KindClash{"EventThenSection", Kind::Event, Kind::Section},
                                           KindClash{"EventThenMutex", Kind::Event, Kind::Mutex},
                                           KindClash{"MutexThenSection", Kind::Mutex, Kind::Section},
                                           KindClash{"MutexThenEvent", Kind::Mutex, Kind::Event}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- Events -------------------------------------------------------------------------------------------------

using EventTest = KernelObjectTest;

TEST_F(EventTest, AutoResetSignalReleasesExactlyOneOfTwoWaitingProcesses) {
  uint32_t error = 0;
  auto event = Event::Create(u"Global\\KxAuto", false, false, error);
  ASSERT_NE(event, nullptr);
  Child a = Child::Role("ko-event-wait", {"Global\\KxAuto", kInfinite, Marker("a")});
  Child b = Child::Role("ko-event-wait", {"Global\\KxAuto", kInfinite, Marker("b")});
  ASSERT_TRUE(AwaitReady(a, Marker("a")));
  ASSERT_TRUE(AwaitReady(b, Marker("b")));

  ASSERT_TRUE(event->Set());
  Child* released = nullptr;
  Child* other = nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (released == nullptr && std::chrono::steady_clock::now() < deadline) {
    if (const int rc = a.Wait(5); rc != -1) {
      EXPECT_EQ(rc, 0);
      released = &a, other = &b;
    } else if (const int rcB = b.Wait(5); rcB != -1) {
      EXPECT_EQ(rcB, 0);
      released = &b, other = &a;
    }
  }
  ASSERT_NE(released, nullptr) << "no waiter was released";
  EXPECT_EQ(other->Wait(300), -1) << "one signal released both waiters";
  EXPECT_EQ(event->Wait(0), WaitResult::Timeout) << "the taken signal was left set";

  ASSERT_TRUE(event->Set());
  EXPECT_EQ(other->Wait(), 0);
}

TEST_F(EventTest, ManualResetReleasesAllWaitingProcessesAndStaysSet) {
  uint32_t error = 0;
  auto event = Event::Create(u"Global\\KxManual", true, false, error);
  ASSERT_NE(event, nullptr);
  Child a = Child::Role("ko-event-wait", {"Global\\KxManual", kInfinite, Marker("a")});
  Child b = Child::Role("ko-event-wait", {"Global\\KxManual", kInfinite, Marker("b")});
  ASSERT_TRUE(AwaitReady(a, Marker("a")));
  ASSERT_TRUE(AwaitReady(b, Marker("b")));
  ASSERT_TRUE(event->Set());
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  EXPECT_EQ(event->Wait(0), WaitResult::Signaled);
}

TEST_F(EventTest, WaitInAnotherProcessTimesOut) {
  uint32_t error = 0;
  auto event = Event::Create(u"Global\\KxQuiet", false, false, error);
  ASSERT_NE(event, nullptr);
  Child waiter = Child::Role("ko-event-wait", {"Global\\KxQuiet", "100", Marker("w")});
  EXPECT_EQ(waiter.Wait(), 1);
}

// A script of steps on one event: S Set, R Reset, + a poll that must find it signalled, - one that must not,
// t a 50 ms wait that must time out.
struct EventScript {
  const char* label;
  bool manualReset;
  bool initialState;
  const char* steps;
};
void PrintTo(const EventScript& c, std::ostream* os) { *os << c.label << " \"" << c.steps << '"'; }

class EventSemanticsTest : public KernelObjectTest,
                           public ::testing::WithParamInterface<std::tuple<EventScript, bool>> {};

TEST_P(EventSemanticsTest, FollowsTheScript) {
  const auto& [script, named] = GetParam();
  uint32_t error = 0;
  auto event = Event::Create(named ? u"Global\\KxScript" : u"", script.manualReset, script.initialState, error);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  for (const char* step = script.steps; *step != '\0'; ++step) {
    const auto at = std::string("step ") + std::to_string(step - script.steps) + " '" + *step + "'";
    switch (*step) {
      case 'S': EXPECT_TRUE(event->Set()) << at; break;
      case 'R': EXPECT_TRUE(event->Reset()) << at; break;
      case '+': EXPECT_EQ(event->Wait(0), WaitResult::Signaled) << at; break;
      case '-': EXPECT_EQ(event->Wait(0), WaitResult::Timeout) << at; break;
      case 't': EXPECT_EQ(event->Wait(50), WaitResult::Timeout) << at; break;
      default: FAIL() << "bad script " << script.steps;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, EventSemanticsTest,
    ::testing::Combine(::testing::Values(EventScript{"AutoStartsClear", false, false, "-t"},
                                         EventScript{"AutoInitiallySetReleasesOnce", false, true, "+-t"},
                                         EventScript{"AutoSetTwiceCountsOnce", false, false, "SS+-"},
                                         EventScript{"AutoResetClears", false, false, "SR-S+-"},
                                         EventScript{"ManualStaysSet", true, false, "-S+++"},
                                         EventScript{"ManualResetClears", true, true, "+R-tS+"}),
                       ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).label) + (std::get<1>(info.param) ? "Named" : "Unnamed");
    });

TEST_F(EventTest, CreateOfAnExistingEventKeepsItsModeAndState) {
  uint32_t error = 0;
  auto first = Event::Create(u"Global\\KxKeep", true, false, error);
  ASSERT_NE(first, nullptr);
  auto second = Event::Create(u"Global\\KxKeep", false, true, error);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(second->Wait(0), WaitResult::Timeout);  // the initial state asked for was ignored
  first->Set();
  EXPECT_EQ(second->Wait(0), WaitResult::Signaled);  // still manual-reset: it stays set
  EXPECT_EQ(first->Wait(0), WaitResult::Signaled);
}

TEST_F(EventTest, UnnamedEventsArePrivateAndWakeThreads) {
  uint32_t error = 0;
  auto one = Event::Create(u"", false, false, error);
  auto two = Event::Create(u"", false, false, error);
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  EXPECT_FALSE(fs::exists(ObjectDir()) && !fs::is_empty(ObjectDir()));

  WaitResult seen = WaitResult::Failed;
  std::thread waiter([&] { seen = one->Wait(20000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  one->Set();
  waiter.join();
  EXPECT_EQ(seen, WaitResult::Signaled);
  EXPECT_EQ(two->Wait(0), WaitResult::Timeout);
  EXPECT_EQ(Event::Open(u"", error), nullptr);
  EXPECT_EQ(error, ERROR_INVALID_NAME);
}

// ---- Mutexes ------------------------------------------------------------------------------------------------

using MutexTest = KernelObjectTest;

TEST_F(MutexTest, KilledHoldersMutexGoesAbandonedToTheNextWaiterThenWorksNormally) {
  uint32_t error = 0;
  auto mutex = Mutex::Create(u"Global\\KxMutex", false, error);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  Child holder = Child::Role("ko-mutex-hold", {"Global\\KxMutex", Marker("held")});
  ASSERT_TRUE(AwaitReady(holder, Marker("held")));
  EXPECT_EQ(mutex->Wait(0), WaitResult::Timeout);
  EXPECT_EQ(mutex->Wait(50), WaitResult::Timeout);

  WaitResult seen = WaitResult::Failed;
  std::thread waiter([&] {
    seen = mutex->Wait(20000);
    if (seen == WaitResult::Abandoned) {
      // Ours now, recursively, and released like any other.
      EXPECT_EQ(mutex->Wait(0), WaitResult::Signaled);
      EXPECT_TRUE(mutex->Release());
      EXPECT_TRUE(mutex->Release());
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  holder.Kill(SIGKILL);
  waiter.join();
  EXPECT_EQ(seen, WaitResult::Abandoned);

  EXPECT_EQ(test::Run(KESTRIX_TESTPROC, {"ko-mutex-take", "Global\\KxMutex", "5000"}), 0);
  EXPECT_EQ(mutex->Wait(0), WaitResult::Signaled);
  EXPECT_TRUE(mutex->Release());
}

TEST_F(MutexTest, ThreadThatEndsHoldingItLeavesItAbandoned) {
  uint32_t error = 0;
  auto mutex = Mutex::Create(u"Global\\KxThread", false, error);
  ASSERT_NE(mutex, nullptr);
  std::thread([] {
    uint32_t e = 0;
    auto mine = Mutex::Open(u"Global\\KxThread", e);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->Wait(0), WaitResult::Signaled);
    // The object goes while its thread still owns the mutex; the thread's end must still be seen.
  }).join();
  EXPECT_EQ(mutex->Wait(5000), WaitResult::Abandoned);
  EXPECT_TRUE(mutex->Release());
}

class MutexOwnershipTest : public KernelObjectTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MutexOwnershipTest, RecursiveForTheOwnerAndRefusedToOthers) {
  const bool named = GetParam();
  const std::u16string name = named ? u"Global\\KxOwner" : u"";
  uint32_t error = 0;
  auto mutex = Mutex::Create(name, true, error);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);

  auto fromOtherThread = [&](auto action) {
    std::thread t(action);
    t.join();
  };
  auto otherCannotTakeOrRelease = [&] {
    fromOtherThread([&] {
      EXPECT_EQ(mutex->Wait(0), WaitResult::Timeout);
      SetLastError(0);
      EXPECT_FALSE(mutex->Release());
      EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    });
  };

  otherCannotTakeOrRelease();  // the initial owner holds it
  EXPECT_EQ(mutex->Wait(0), WaitResult::Signaled);
  EXPECT_TRUE(mutex->Release());
  otherCannotTakeOrRelease();  // one level still held
  if (named) {
    EXPECT_EQ(test::Run(KESTRIX_TESTPROC, {"ko-mutex-take", "Global\\KxOwner", "0"}), 1);
  }
  EXPECT_TRUE(mutex->Release());
  SetLastError(0);
  EXPECT_FALSE(mutex->Release());
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  fromOtherThread([&] {
    EXPECT_EQ(mutex->Wait(0), WaitResult::Signaled);
    EXPECT_TRUE(mutex->Release());
  });
  if (named) {
    EXPECT_EQ(test::Run(KESTRIX_TESTPROC, {"ko-mutex-take", "Global\\KxOwner", "0"}), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(NamedAndUnnamed, MutexOwnershipTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

TEST_F(MutexTest, InitialOwnerIsIgnoredWhenItExists) {
  uint32_t error = 0;
  auto mutex = Mutex::Create(u"Global\\KxExisting", false, error);
  ASSERT_NE(mutex, nullptr);
  std::thread([] {
    uint32_t e = 0;
    auto again = Mutex::Create(u"Global\\KxExisting", true, e);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(e, ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(again->Release());
  }).join();
  EXPECT_EQ(mutex->Wait(0), WaitResult::Signaled);
  EXPECT_TRUE(mutex->Release());
}

// ---- Object files kept by a process ------------------------------------------------------------------------

// An object's file stays when its last holder dies; only the lock said it lived. Made anew under that name,
// the object must start as a new one, whatever the dead holder left in the file.
struct Revival {
  const char* label;
  Kind kind;
  const char* role;
  void (*expectFresh)(const std::u16string& name);
};
void PrintTo(const Revival& c, std::ostream* os) { *os << c.label; }

class KernelObjectRevivalTest : public KernelObjectTest, public ::testing::WithParamInterface<Revival> {};

TEST_P(KernelObjectRevivalTest, MadeAnewFreshAfterItsKilledHolder) {
  const std::u16string name = u"Global\\KxRevive";
  const std::string ready = Marker("ready");
  Child holder = Child::Role("ko-hold", {GetParam().role, "Global\\KxRevive", ready, "-"});
  ASSERT_TRUE(AwaitReady(holder, ready));
  uint32_t error = 0;
  // Joined and let go here first, so this process has the file cached when the holder dies.
  EXPECT_NE(Make(GetParam().kind, name, false, error), nullptr);
  holder.Kill(SIGKILL);
  EXPECT_EQ(holder.Wait(), 128 + SIGKILL);

  EXPECT_TRUE(fs::exists(ObjectDir() / "KxRevive"));
  EXPECT_EQ(Make(GetParam().kind, name, false, error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  GetParam().expectFresh(name);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KernelObjectRevivalTest,
    ::testing::Values(
        Revival{"Section", Kind::Section, "section",
                [](const std::u16string& name) {
                  uint32_t error = 0;
                  auto section = Section::Create(name, 8192, error);
                  ASSERT_NE(section, nullptr);
                  EXPECT_EQ(error, ERROR_SUCCESS);
                  auto view = section->MapView(error);
                  ASSERT_NE(view, nullptr);
                  EXPECT_TRUE(AllBytes(*view, 0));
                }},
        Revival{"SignalledEvent", Kind::Event, "event",
                [](const std::u16string& name) {
                  uint32_t error = 0;
                  auto event = Event::Create(name, false, false, error);
                  ASSERT_NE(event, nullptr);
                  EXPECT_EQ(error, ERROR_SUCCESS);
                  EXPECT_EQ(event->Wait(0), WaitResult::Timeout);
                }},
        Revival{"OwnedMutex", Kind::Mutex, "mutex",
                [](const std::u16string& name) {
                  uint32_t error = 0;
                  auto mutex = Mutex::Create(name, false, error);
                  ASSERT_NE(mutex, nullptr);
                  EXPECT_EQ(error, ERROR_SUCCESS);
                  EXPECT_EQ(mutex->Wait(0), WaitResult::Signaled);  // free, and not abandoned
                  EXPECT_TRUE(mutex->Release());
                }}),
    [](const auto& info) { return std::string(info.param.label); });

// This process keeps the file of an object it let go of; what other processes do with the name meanwhile
// (end the object, make one of another kind, make it anew) must show through that kept file.
TEST_F(KernelObjectTest, KeptFileFollowsWhatOtherProcessesDoWithTheName) {
  const std::u16string name = u"Global\\KxKept";
  auto holder = [&](const char* kind, const std::string& tag) {
    return Child::Role("ko-hold", {kind, "Global\\KxKept", Marker(tag + "-ready"), Marker(tag + "-go")});
  };
  uint32_t error = 0;

  Child first = holder("event", "1");
  ASSERT_TRUE(AwaitReady(first, Marker("1-ready")));
  {
    auto event = Event::Open(name, error);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->Wait(0), WaitResult::Signaled);
    event->Reset();  // manual-reset: it stays clear for as long as this object lives
  }
  Touch(Marker("1-go"));
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(Event::Open(name, error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  Child second = holder("section", "2");
  ASSERT_TRUE(AwaitReady(second, Marker("2-ready")));
  for (const bool create : {true, false}) {
    EXPECT_EQ(Make(Kind::Event, name, create, error), nullptr) << (create ? "create" : "open");
    EXPECT_EQ(error, ERROR_INVALID_HANDLE) << (create ? "create" : "open");
  }
  {
    auto section = Section::Open(name, error);
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(section->Size(), 8192u);
    auto view = section->MapView(error);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(AllBytes(*view, 0x44));
  }
  Touch(Marker("2-go"));
  EXPECT_EQ(second.Wait(), 0);

  Child third = holder("event", "3");
  ASSERT_TRUE(AwaitReady(third, Marker("3-ready")));
  auto event = Event::Open(name, error);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_EQ(event->Wait(0), WaitResult::Signaled);  // the new event's state, not the cleared one
  EXPECT_EQ(event->Wait(0), WaitResult::Signaled);  // and its manual reset
  Touch(Marker("3-go"));
  EXPECT_EQ(third.Wait(), 0);
  // Held here, the event outlives its creator.
  EXPECT_NE(Event::Open(name, error), nullptr);
  event.reset();
  EXPECT_EQ(Event::Open(name, error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(KernelObjectTest, ManyNamesKeepABoundedNumberOfFilesOpen) {
  constexpr size_t kBound = detail::kMaxIdleObjectFiles;
  constexpr size_t kNames = 3 * kBound;
  auto nameOf = [](size_t i) { return u"Global\\KxMany" + FromUtf8(std::to_string(i)); };
  const size_t before = OpenDescriptors();
  uint32_t error = 0;

  // Held objects all stay open and working, however many there are.
  std::vector<std::unique_ptr<Event>> held;
  for (size_t i = 0; i < kNames; ++i) {
    held.push_back(Event::Create(nameOf(i), true, false, error));
    ASSERT_NE(held.back(), nullptr) << i;
    ASSERT_EQ(error, ERROR_SUCCESS) << i;
  }
  EXPECT_GE(OpenDescriptors(), before + kNames);
  held.front()->Set();
  auto again = Event::Open(nameOf(0), error);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Wait(0), WaitResult::Signaled);
  again.reset();

  // Let go of, they are kept only up to the bound (and the object directory besides).
  held.clear();
  EXPECT_LE(OpenDescriptors(), before + kBound + 1);
  for (size_t i = 0; i < kNames; ++i) {
    EXPECT_NE(Event::Create(nameOf(kNames + i), false, false, error), nullptr);
  }
  EXPECT_LE(OpenDescriptors(), before + kBound + 1);

  // Whether its file was closed long ago or is still kept, a let-go object is gone and made anew.
  for (const size_t i : {size_t{0}, kNames - 1, 2 * kNames - 1}) {
    EXPECT_EQ(Event::Open(nameOf(i), error), nullptr) << i;
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << i;
    auto fresh = Event::Create(nameOf(i), false, false, error);
    ASSERT_NE(fresh, nullptr) << i;
    EXPECT_EQ(error, ERROR_SUCCESS) << i;
    EXPECT_EQ(fresh->Wait(0), WaitResult::Timeout) << i;
  }
}

// ---- Who may reach the objects ---------------------------------------------------------------------------

using KernelObjectSecurityTest = KernelObjectTest;

TEST_F(KernelObjectSecurityTest, ObjectFilesAreOpenToEveryUser) {
  const mode_t previous = ::umask(077);
  uint32_t error = 0;
  auto section = Section::Create(u"Global\\KxMode", 4096, error);
  auto event = Event::Create(u"Global\\KxModeEvent", false, false, error);
  ::umask(previous);
  ASSERT_NE(section, nullptr);
  ASSERT_NE(event, nullptr);
  struct stat st {};
  ASSERT_EQ(::stat(ObjectDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  for (const char* file : {"KxMode", "KxModeEvent"}) {
    ASSERT_EQ(::stat((ObjectDir() / file).c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 07777, 0666u) << file;
  }
}

// Something other than an object file planted under an object's name is refused, never followed or opened.
struct Plant {
  const char* label;
  void (*make)(const fs::path& at, const fs::path& target);
};
void PrintTo(const Plant& c, std::ostream* os) { *os << c.label; }

class KernelObjectPlantTest : public KernelObjectTest, public ::testing::WithParamInterface<Plant> {};

TEST_P(KernelObjectPlantTest, IsRefusedAndItsTargetUntouched) {
  ASSERT_EQ(EnsureDirectory(ObjectDir(), 01777), ERROR_SUCCESS);
  const fs::path target = m_root.Path() / "target";
  { std::ofstream(target) << "untouched"; }
  ::chmod(target.c_str(), 0600);
  GetParam().make(ObjectDir() / "KxPlant", target);

  for (const Kind kind : {Kind::Section, Kind::Event, Kind::Mutex}) {
    for (const bool create : {true, false}) {
      uint32_t error = 0;
      EXPECT_EQ(Make(kind, u"Global\\KxPlant", create, error), nullptr);
      EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE) << error;
    }
  }
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(fs::exists(fs::symlink_status(ObjectDir() / "KxPlant")));
}

INSTANTIATE_TEST_SUITE_P(
    Plants, KernelObjectPlantTest,
    ::testing::Values(Plant{"SymlinkToFile", [](const fs::path& at, const fs::path& t) { fs::create_symlink(t, at); }},
                      Plant{"DanglingSymlink",
                            [](const fs::path& at, const fs::path& t) { fs::create_symlink(t.string() + ".new", at); }},
                      Plant{"Fifo", [](const fs::path& at, const fs::path&) { ::mkfifo(at.c_str(), 0666); }},
                      Plant{"Directory", [](const fs::path& at, const fs::path&) { fs::create_directory(at); }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(KernelObjectSecurityTest, UnprivilegedProcessUsesObjectsRootMade) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to start a process as another user";
  }
  uint32_t error = 0;
  auto section = Section::Create(u"Global\\KxRootSection", 4096, error);
  auto event = Event::Create(u"Global\\KxRootEvent", false, false, error);
  auto mutex = Mutex::Create(u"Global\\KxRootMutex", false, error);
  ASSERT_TRUE(section && event && mutex);
  auto view = section->MapView(error);
  ASSERT_NE(view, nullptr);
  view->Data()[0] = 0x5A;
  view.reset();

  const std::string ready = Marker("ready"), go = Marker("go");
  Child nobody = Child::Role("ko-nobody", {"Global\\KxRootSection", "Global\\KxRootEvent", "Global\\KxRootMutex",
                                           "Global\\KxNobody", ready, go});
  ASSERT_TRUE(AwaitReady(nobody, ready));
  view = section->MapView(error);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->Data()[1], 0xA5);
  EXPECT_EQ(event->Wait(5000), WaitResult::Signaled);
  {
    auto theirs = Section::Open(u"Global\\KxNobody", error);
    ASSERT_NE(theirs, nullptr) << error;
    auto theirView = theirs->MapView(error);
    ASSERT_NE(theirView, nullptr);
    EXPECT_TRUE(AllBytes(*theirView, 0x77));
  }

  // Root lets go first, so the unprivileged process is the last holder of root's objects. The sticky
  // directory keeps it from removing root's files; they stay, and still count as gone.
  view.reset();
  section.reset();
  event.reset();
  mutex.reset();
  Touch(go);
  EXPECT_EQ(nobody.Wait(), 0);
  EXPECT_TRUE(fs::exists(ObjectDir() / "KxRootSection"));
  EXPECT_EQ(Section::Open(u"Global\\KxRootSection", error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Event::Open(u"Global\\KxRootEvent", error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Mutex::Open(u"Global\\KxRootMutex", error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Section::Open(u"Global\\KxNobody", error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  // A mutex made anew over a dead file starts unowned and unabandoned.
  auto fresh = Mutex::Create(u"Global\\KxRootMutex", false, error);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_EQ(fresh->Wait(0), WaitResult::Signaled);
  EXPECT_TRUE(fresh->Release());
}

}  // namespace
}  // namespace kestrix::platform
