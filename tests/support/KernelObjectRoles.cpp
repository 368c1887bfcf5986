// Helper roles for the kernel-object tests: separate processes that create, use, hold and die holding objects.
//
// A role tells the test it is set up by creating a marker file (never through the objects under test), and
// a role that must end on cue waits for a "go" file. Exit codes: 0 as expected, 1 a wait timed out,
// 2 and up a step failed (the step and its error go to stderr).
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/KernelObjects.h"
#include "tests/support/Roles.h"

namespace {

using namespace kestrix::platform;

std::u16string Name(const std::string& text) { return kestrix::FromUtf8(text); }

int Fail(int code, const char* step, uint32_t error = 0) {
  std::fprintf(stderr, "kernel-object role: %s failed (error %u)\n", step, error);
  return code;
}

void Announce(const std::string& path) {
  // Written aside and renamed, so the test never sees a half-made marker.
  { std::ofstream(path + ".part") << ::getpid() << "\n"; }
  ::rename((path + ".part").c_str(), path.c_str());
}

bool AwaitFile(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  struct stat st {};
  while (::stat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

/// Waits for `go`, or, when it is "-", until the test kills the process.
int HoldUntil(const std::string& go) {
  if (go == "-") {
    for (;;) {
      ::pause();
    }
  }
  return AwaitFile(go) ? 0 : Fail(9, "waiting for go");
}

int ExitFor(WaitResult r) {
  switch (r) {
    case WaitResult::Signaled: return 0;
    case WaitResult::Timeout: return 1;
    case WaitResult::Abandoned: return 4;
    default: return 5;
  }
}

}  // namespace

// ko-section-fill NAME SIZE BYTE READY GO: creates the section (it must be new), checks it reads as zeros,
// fills it with BYTE, announces READY and holds it until GO (or a kill when GO is "-").
KESTRIX_TESTPROC_ROLE("ko-section-fill") {
  uint32_t error = 0;
  auto section = Section::Create(Name(args.at(0)), std::stoull(args.at(1)), error);
  if (section == nullptr || error != 0) {
    return Fail(2, "Section::Create", error);
  }
  auto view = section->MapView(error);
  if (view == nullptr) {
    return Fail(3, "MapView", error);
  }
  for (uint64_t i = 0; i < view->Size(); ++i) {
    if (view->Data()[i] != 0) {
      return Fail(4, "zero fill");
    }
  }
  std::fill(view->Data(), view->Data() + view->Size(), static_cast<uint8_t>(std::stoi(args.at(2))));
  Announce(args.at(3));
  return HoldUntil(args.at(4));
}

// ko-section-check NAME SIZE BYTE: opens the section, checks its size and that every byte is BYTE, then
// writes BYTE + 1 into the first byte.
KESTRIX_TESTPROC_ROLE("ko-section-check") {
  uint32_t error = 0;
  auto section = Section::Open(Name(args.at(0)), error);
  if (section == nullptr) {
    return Fail(2, "Section::Open", error);
  }
  if (section->Size() != std::stoull(args.at(1))) {
    return Fail(3, "size");
  }
  auto view = section->MapView(error);
  if (view == nullptr) {
    return Fail(3, "MapView", error);
  }
  const auto byte = static_cast<uint8_t>(std::stoi(args.at(2)));
  for (uint64_t i = 0; i < view->Size(); ++i) {
    if (view->Data()[i] != byte) {
      return Fail(4, "content");
    }
  }
  view->Data()[0] = static_cast<uint8_t>(byte + 1);
  return 0;
}

// ko-event-wait NAME TIMEOUT READY: opens the event, announces READY, waits; the exit code is the outcome.
KESTRIX_TESTPROC_ROLE("ko-event-wait") {
  uint32_t error = 0;
  auto event = Event::Open(Name(args.at(0)), error);
  if (event == nullptr) {
    return Fail(2, "Event::Open", error);
  }
  Announce(args.at(2));
  return ExitFor(event->Wait(static_cast<uint32_t>(std::stoul(args.at(1)))));
}

// ko-mutex-hold NAME READY: opens the mutex, takes it, announces READY and holds it until killed.
KESTRIX_TESTPROC_ROLE("ko-mutex-hold") {
  uint32_t error = 0;
  auto mutex = Mutex::Open(Name(args.at(0)), error);
  if (mutex == nullptr) {
    return Fail(2, "Mutex::Open", error);
  }
  if (const WaitResult r = mutex->Wait(INFINITE); r != WaitResult::Signaled) {
    return ExitFor(r);
  }
  Announce(args.at(1));
  return HoldUntil("-");
}

// ko-mutex-take NAME TIMEOUT: opens the mutex and waits for it; when it gets it, releases it again. The exit
// code is the outcome of the wait (6 when the release failed).
KESTRIX_TESTPROC_ROLE("ko-mutex-take") {
  uint32_t error = 0;
  auto mutex = Mutex::Open(Name(args.at(0)), error);
  if (mutex == nullptr) {
    return Fail(2, "Mutex::Open", error);
  }
  const WaitResult r = mutex->Wait(static_cast<uint32_t>(std::stoul(args.at(1))));
  if ((r == WaitResult::Signaled || r == WaitResult::Abandoned) && !mutex->Release()) {
    return Fail(6, "Release");
  }
  return ExitFor(r);
}

// ko-nobody SECTION EVENT MUTEX OWN READY GO: drops to uid/gid 65534, then uses the objects root made (the
// section's first byte must read 0x5A; it writes 0xA5 into the second), creates the section OWN filled with
// 0x77, announces READY and holds everything until GO.
KESTRIX_TESTPROC_ROLE("ko-nobody") {
  if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
    return Fail(10, "dropping privileges");
  }
  uint32_t error = 0;
  auto section = Section::Open(Name(args.at(0)), error);
  if (section == nullptr) {
    return Fail(2, "Section::Open", error);
  }
  auto view = section->MapView(error);
  if (view == nullptr || view->Data()[0] != 0x5A) {
    return Fail(3, "section content", error);
  }
  view->Data()[1] = 0xA5;
  auto event = Event::Open(Name(args.at(1)), error);
  if (event == nullptr || !event->Set()) {
    return Fail(4, "Event::Open and Set", error);
  }
  auto mutex = Mutex::Open(Name(args.at(2)), error);
  if (mutex == nullptr || mutex->Wait(5000) != WaitResult::Signaled || !mutex->Release()) {
    return Fail(5, "Mutex::Open, Wait and Release", error);
  }
  auto own = Section::Create(Name(args.at(3)), 4096, error);
  if (own == nullptr || error != 0) {
    return Fail(6, "Section::Create", error);
  }
  auto ownView = own->MapView(error);
  if (ownView == nullptr) {
    return Fail(7, "MapView", error);
  }
  std::fill(ownView->Data(), ownView->Data() + ownView->Size(), uint8_t{0x77});
  Announce(args.at(4));
  return HoldUntil(args.at(5));
}

// ko-hold KIND NAME READY GO: creates a new object of KIND and leaves it in a state a fresh one never has: a
// section of 8192 bytes filled with 0x44, a manual-reset event created signalled, a mutex it owns. Announces
// READY and holds it until GO (or a kill when GO is "-").
KESTRIX_TESTPROC_ROLE("ko-hold") {
  const std::string& kind = args.at(0);
  const std::u16string name = Name(args.at(1));
  uint32_t error = 0;
  std::unique_ptr<Section> section;
  std::unique_ptr<SectionView> view;
  std::unique_ptr<Event> event;
  std::unique_ptr<Mutex> mutex;
  if (kind == "section") {
    section = Section::Create(name, 8192, error);
    view = section != nullptr && error == 0 ? section->MapView(error) : nullptr;
    if (view == nullptr) {
      return Fail(2, "Section::Create and MapView", error);
    }
    std::fill(view->Data(), view->Data() + view->Size(), uint8_t{0x44});
  } else if (kind == "event") {
    event = Event::Create(name, true, true, error);
    if (event == nullptr || error != 0) {
      return Fail(2, "Event::Create", error);
    }
  } else if (kind == "mutex") {
    mutex = Mutex::Create(name, true, error);
    if (mutex == nullptr || error != 0) {
      return Fail(2, "Mutex::Create", error);
    }
  } else {
    return Fail(3, "unknown kind");
  }
  Announce(args.at(2));
  return HoldUntil(args.at(3));
}

// ko-churn NAME ROUNDS SLOT: ROUNDS times creates (or joins) the section, writes a tag into its SLOT-th
// word, opens the name again while still holding it and checks the second view shows the same tag: whatever
// the other churning processes do, a held section stays the one its name leads to.
KESTRIX_TESTPROC_ROLE("ko-churn") {
  const std::u16string name = Name(args.at(0));
  const int rounds = std::stoi(args.at(1));
  const size_t slot = std::stoul(args.at(2));
  for (int round = 1; round <= rounds; ++round) {
    uint32_t error = 0;
    auto section = Section::Create(name, 4096, error);
    if (section == nullptr || (error != 0 && error != kestrix::ERROR_ALREADY_EXISTS)) {
      return Fail(2, "Section::Create", error);
    }
    auto view = section->MapView(error);
    if (view == nullptr) {
      return Fail(3, "MapView", error);
    }
    const uint32_t tag = (static_cast<uint32_t>(::getpid()) << 12) ^ static_cast<uint32_t>(round);
    reinterpret_cast<volatile uint32_t*>(view->Data())[slot] = tag;
    auto again = Section::Open(name, error);
    if (again == nullptr) {
      return Fail(4, "Section::Open of a held section", error);
    }
    auto againView = again->MapView(error);
    if (againView == nullptr) {
      return Fail(5, "MapView", error);
    }
    if (reinterpret_cast<volatile uint32_t*>(againView->Data())[slot] != tag) {
      return Fail(6, "same memory through the name");
    }
  }
  return 0;
}
