// The command worker in this process, against real kernel objects and the real registry store: checks of
// code and size, the bytes it may and may not write, the small commands it carries out itself, and its stop.
#include "service/CommandWorker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "channel/ChannelNames.h"
#include "channel/CommandBlock.h"
#include "common/ServiceKey.h"
#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/FileOps.h"
#include "platform/Registry.h"
#include "tests/fixture/TestRoot.h"

namespace kestrix {
namespace {

using platform::Event;
using platform::Section;
using platform::SectionView;
using platform::WaitResult;

// Handlers that record what reached them; the firmware check fills the list with `drives` records.
class RecordingHandlers : public CommandHandlers {
 public:
  std::vector<uint32_t> calls;
  int drives = 0;
  void WorkerStarting(SelfUpdateInfo& selfUpdate) override {
    selfUpdate.nCurMajor = 1;
    selfUpdate.nCurMinor = 20;
  }
  void WorkerEnding() override { calls.push_back(0); }
  void CheckFirmware(CheckFirmwareBlock& block, WorkerState& state) override {
    calls.push_back(CMD_CHECK_FIRMWARE);
    state.driveList.Empty();
    for (int i = 0; i < drives; ++i) {
      _DEVICE_INFO r{};
      r.nPhysicalDrive = i * 2;
      r.IdentifyData[0] = static_cast<uint8_t>(0x40 + i);
      state.driveList.Append(r);
    }
    block.nDriveCount = state.driveList.Count();
    SetFieldText(block.szCatalogueVersion, 9, u"20261211");
    block.bCatalogueValid = 1;
    // A handler that scribbles over its copy must not reach the client's other bytes.
    block.reserved34[0] = 0x55;
    block.reserved34[1] = 0x55;
  }
  void ScheduleBootUpdate(const ScheduleBootUpdateBlock&) override { calls.push_back(CMD_SCHEDULE_BOOT_UPDATE); }
  void ClearUpdateResult() override { calls.push_back(CMD_CLEAR_RESULT); }
  void StartUpdateJob(const StartUpdateBlock&) override { calls.push_back(CMD_START_UPDATE); }
  void GetUpdateStatus(GetUpdateStatusBlock& block) override {
    calls.push_back(CMD_GET_UPDATE_STATUS);
    block.nProgress = 100;
    block.nResultCode = 6003;
    SetFieldText(block.szNewRevision, 9, u"SC61");
    block.bDone = 1;
    block.reserved38[0] = block.reserved38[1] = 0x66;
  }
  void CheckNewVersion(CheckNewVersionBlock& block, WorkerState&, SelfUpdateInfo& selfUpdate) override {
    calls.push_back(CMD_CHECK_NEW_VERSION);
    std::memcpy(&block.SelfUpdate, &selfUpdate, sizeof selfUpdate);
  }
};

// A shared block whose mapping fails, for the service that cannot map the block when a command arrives.
class UnmappableSection : public Section {
 public:
  uint64_t Size() const override { return kSharedBlockSize; }
  std::unique_ptr<SectionView> MapView(uint32_t& error) override {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
};

class CommandWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uint32_t error = 0;
    m_commandEvent = Event::Create(CommandEventName(), false, false, error);
    m_section = Section::Create(SharedBlockName(), kSharedBlockSize, error);
    m_endEvent = Event::Create(EndEventName(), false, false, error);
    ASSERT_TRUE(m_commandEvent && m_section && m_endEvent);
    m_context.pStopWorker = &m_stop;
    m_context.pCommandEvent = m_commandEvent.get();
    m_context.pSharedBlock = m_section.get();
    m_context.pSelfUpdate = &m_selfUpdate;
    m_context.pHandlers = &m_handlers;
  }

  // Places `length` bytes at the block's start, runs one command as the worker does, and reads them back.
  std::vector<uint8_t> Run(const void* block, std::size_t length) {
    uint32_t error = 0;
    {
      auto view = m_section->MapView(error);
      std::memcpy(view->Data(), block, length);
    }
    m_commandEvent->Set();
    HandleOneCommand(m_context, m_state);
    EXPECT_EQ(m_commandEvent->Wait(0), WaitResult::Timeout) << "the command event was not reset";
    EXPECT_EQ(m_endEvent->Wait(0), WaitResult::Signaled) << "the end event was not signalled";
    std::vector<uint8_t> out(length);
    auto view = m_section->MapView(error);
    std::memcpy(out.data(), view->Data(), length);
    return out;
  }

  template <class T>
  T RunBlock(const T& block) {
    const std::vector<uint8_t> bytes = Run(&block, sizeof block);
    T out;
    std::memcpy(&out, bytes.data(), sizeof out);
    return out;
  }

  void CreateServiceKey() {
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, kServiceKeyPath, platform::KEY_ALL_ACCESS, &key,
                                        nullptr),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
  }

  test::ScopedRoot m_root;
  std::unique_ptr<Event> m_commandEvent;
  std::unique_ptr<Section> m_section;
  std::unique_ptr<Event> m_endEvent;
  std::atomic<int32_t> m_stop{0};
  SelfUpdateInfo m_selfUpdate{};
  RecordingHandlers m_handlers;
  WorkerState m_state;
  CommandWorkerContext m_context;
};

template <class T>
T Block(uint32_t command, uint32_t size = sizeof(T)) {
  T block;
  std::memset(&block, 0xA5, sizeof block);  // the bytes the service must leave alone are recognisable
  block.hdr.dwCommand = command;
  block.hdr.dwStatus = 77;
  block.hdr.dwSize = size;
  return block;
}

struct RefusedCase {
  uint32_t command;
  uint32_t size;
};

TEST_F(CommandWorkerTest, WrongCodeOrSizeAnswersOneAndTouchesNothingElse) {
  const RefusedCase cases[] = {
      {239, 12}, {249, 12}, {0, 0}, {0xFFFFFFFF, 40},
      {CMD_CLEAR_RESULT, 16}, {CMD_CHECK_FIRMWARE, 44}, {CMD_GET_DEVICE_INFO, 1103},
      {CMD_GET_DEVICE_INFO, 1105}, {CMD_MOVE_FILE, 12}, {CMD_START_UPDATE, 1622}, {CMD_SET_LANGUAGE, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> block(kMaxCommandSize, 0xA5);
    std::memcpy(block.data(), &c.command, 4);
    std::memset(block.data() + 4, 0, 4);
    std::memcpy(block.data() + 8, &c.size, 4);
    const std::vector<uint8_t> out = Run(block.data(), block.size());
    uint32_t status = 0;
    std::memcpy(&status, out.data() + 4, 4);
    EXPECT_EQ(status, 1u) << c.command << "/" << c.size;
    block[4] = 1;
    EXPECT_EQ(out, block) << "bytes changed for " << c.command << "/" << c.size;
  }
  EXPECT_TRUE(m_handlers.calls.empty());
}

TEST_F(CommandWorkerTest, DeviceInfoComesFromTheLastFirmwareCheck) {
  auto query = [&](int32_t index) {
    auto b = Block<GetDeviceInfoBlock>(CMD_GET_DEVICE_INFO);
    b.nIndex = index;
    return RunBlock(b);
  };
  static const _DEVICE_INFO zero{};
  // Before any check every index yields a zeroed record, with status 0.
  for (const int32_t index : {0, 1, -1}) {
    const auto r = query(index);
    EXPECT_EQ(r.hdr.dwStatus, 0u);
    EXPECT_EQ(r.nIndex, index);
    EXPECT_EQ(std::memcmp(&r.DeviceInfo, &zero, sizeof zero), 0) << index;
  }

  m_handlers.drives = 2;
  const auto check = RunBlock(Block<CheckFirmwareBlock>(CMD_CHECK_FIRMWARE));
  EXPECT_EQ(check.hdr.dwStatus, 0u);
  EXPECT_EQ(check.hdr.dwCommand, CMD_CHECK_FIRMWARE);
  EXPECT_EQ(check.hdr.dwSize, 40u);
  EXPECT_EQ(check.nDriveCount, 2);
  EXPECT_EQ(FieldText(check.szCatalogueVersion, 9), u"20261211");
  EXPECT_EQ(check.bCatalogueValid, 1);
  EXPECT_EQ(check.reserved34[0], 0xA5);  // bytes 34 and 35 keep what the client wrote
  EXPECT_EQ(check.reserved34[1], 0xA5);

  EXPECT_EQ(query(0).DeviceInfo.IdentifyData[0], 0x40);
  EXPECT_EQ(query(1).DeviceInfo.nPhysicalDrive, 2);
  const auto past = query(2);
  EXPECT_EQ(std::memcmp(&past.DeviceInfo, &zero, sizeof zero), 0);

  // A check that finds nothing leaves an empty list behind.
  m_handlers.drives = 0;
  EXPECT_EQ(RunBlock(Block<CheckFirmwareBlock>(CMD_CHECK_FIRMWARE)).nDriveCount, 0);
  const auto first = query(0);
  EXPECT_EQ(std::memcmp(&first.DeviceInfo, &zero, sizeof zero), 0);
}

TEST_F(CommandWorkerTest, HandlersGetTheirCommandsAndOnlyReplyFieldsAreWritten) {
  const auto status = RunBlock(Block<GetUpdateStatusBlock>(CMD_GET_UPDATE_STATUS));
  EXPECT_EQ(status.hdr.dwStatus, 0u);
  EXPECT_EQ(status.nProgress, 100);
  EXPECT_EQ(status.nResultCode, 6003);
  EXPECT_EQ(FieldText(status.szNewRevision, 9), u"SC61");
  EXPECT_EQ(status.bDone, 1);
  EXPECT_EQ(status.reserved38[0], 0xA5);  // bytes 38 and 39 keep what the client wrote
  EXPECT_EQ(status.reserved38[1], 0xA5);

  EXPECT_EQ(RunBlock(Block<ScheduleBootUpdateBlock>(CMD_SCHEDULE_BOOT_UPDATE)).hdr.dwStatus, 0u);
  EXPECT_EQ(RunBlock(Block<ClearResultBlock>(CMD_CLEAR_RESULT)).hdr.dwStatus, 0u);
  const auto start = Block<StartUpdateBlock>(CMD_START_UPDATE);
  const auto started = RunBlock(start);
  EXPECT_EQ(started.hdr.dwStatus, 0u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(&started) + 12, reinterpret_cast<const uint8_t*>(&start) + 12,
                        sizeof start - 12),
            0);
  const auto version = RunBlock(Block<CheckNewVersionBlock>(CMD_CHECK_NEW_VERSION));
  EXPECT_EQ(version.SelfUpdate.nCurMinor, 0);  // the worker's start filled it, not this test's block
  EXPECT_EQ(m_handlers.calls, (std::vector<uint32_t>{CMD_GET_UPDATE_STATUS, CMD_SCHEDULE_BOOT_UPDATE, CMD_CLEAR_RESULT,
                                                     CMD_START_UPDATE, CMD_CHECK_NEW_VERSION}));
}

TEST_F(CommandWorkerTest, LanguageIsStoredAsDword) {
  auto b = Block<SetLanguageBlock>(CMD_SET_LANGUAGE);
  b.dwLanguage = 2;
  // Without the service key the write fails silently; the command still answers 0.
  EXPECT_EQ(RunBlock(b).hdr.dwStatus, 0u);

  CreateServiceKey();
  for (const uint32_t language : {7u, 0xFFFFFFFFu}) {
    b.dwLanguage = language;
    EXPECT_EQ(RunBlock(b).hdr.dwStatus, 0u);
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, platform::KEY_READ, &key), 0u);
    uint32_t type = 0;
    uint32_t value = 0;
    uint32_t size = sizeof value;
    EXPECT_EQ(platform::RegQueryValueExW(key, u"LANGUAGE", &type, reinterpret_cast<uint8_t*>(&value), &size), 0u);
    platform::RegCloseKey(key);
    EXPECT_EQ(type, platform::REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(value, language);
  }
}

TEST_F(CommandWorkerTest, UnmappableBlockStillResetsAndAnswers) {
  UnmappableSection broken;
  m_context.pSharedBlock = &broken;
  m_commandEvent->Set();
  HandleOneCommand(m_context, m_state);
  EXPECT_EQ(m_commandEvent->Wait(0), WaitResult::Timeout);
  EXPECT_EQ(m_endEvent->Wait(0), WaitResult::Signaled);
  EXPECT_TRUE(m_handlers.calls.empty());
}

TEST_F(CommandWorkerTest, StopTogetherWithACommandEndsWithoutCarryingItOut) {
  auto b = Block<ClearResultBlock>(CMD_CLEAR_RESULT);
  uint32_t error = 0;
  {
    auto view = m_section->MapView(error);
    std::memcpy(view->Data(), &b, sizeof b);
  }
  m_stop = 1;
  m_commandEvent->Set();
  EXPECT_EQ(CommandWorker(m_context), 0u);
  EXPECT_EQ(m_handlers.calls, std::vector<uint32_t>{0});  // only the worker's end
  EXPECT_EQ(m_endEvent->Wait(0), WaitResult::Timeout);
  EXPECT_EQ(m_selfUpdate.nCurMajor, 1);
}

TEST_F(CommandWorkerTest, IdleWorkerEndsOnTheStopSignal) {
  std::thread worker([&] { CommandWorker(m_context); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  m_stop = 1;
  m_commandEvent->Set();
  worker.join();
  EXPECT_EQ(m_endEvent->Wait(0), WaitResult::Timeout);
}

// Command 248 by the rules of MoveFileExW, with the last-error code in the reply.
struct MoveCase {
  const char* name;
  bool createSource;
  bool createTarget;
  const char* source;  // relative to the case's directory; "" passes no name
  const char* target;
  uint32_t flags;
  int32_t result;
  uint32_t lastError;
  bool sourceRemains;
};

TEST_F(CommandWorkerTest, MoveFileFollowsMoveFileExRules) {
  using namespace platform;
  const MoveCase cases[] = {
      {"rename", true, false, "a", "b", 0, 1, ERROR_SUCCESS, false},
      {"target exists", true, true, "a", "b", 0, 0, ERROR_ALREADY_EXISTS, true},
      {"replace", true, true, "a", "b", MOVEFILE_REPLACE_EXISTING, 1, ERROR_SUCCESS, false},
      {"no source", false, false, "a", "b", 0, 0, ERROR_FILE_NOT_FOUND, false},
      {"no target dir", true, false, "a", "missing/b", 0, 0, ERROR_PATH_NOT_FOUND, true},
      {"both empty", false, false, "", "", 0, 0, ERROR_INVALID_PARAMETER, false},
      {"empty target", true, false, "a", "", 0, 0, ERROR_INVALID_PARAMETER, true},
      {"delay with copy", true, false, "a", "b", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED, 0,
       ERROR_INVALID_PARAMETER, true},
      {"unknown flag", true, false, "a", "b", 0x100, 0, ERROR_INVALID_PARAMETER, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    const auto dir = m_root.Path() / ("move" + std::to_string(n++));
    std::filesystem::create_directories(dir);
    if (c.createSource) std::ofstream(dir / "a") << "source";
    if (c.createTarget) std::ofstream(dir / "b") << "target";
    auto b = Block<MoveFileBlock>(CMD_MOVE_FILE);
    const std::string source = *c.source ? (dir / c.source).string() : "";
    const std::string target = *c.target ? (dir / c.target).string() : "";
    SetFieldText(b.szExistingFile, 261, FromUtf8(source));
    SetFieldText(b.szNewFile, 261, FromUtf8(target));
    b.dwFlags = c.flags;
    const auto out = RunBlock(b);
    EXPECT_EQ(out.hdr.dwStatus, 0u) << c.name;
    EXPECT_EQ(out.bResult != 0, c.result != 0) << c.name;
    EXPECT_EQ(out.dwLastError, c.lastError) << c.name;
    EXPECT_EQ(std::filesystem::exists(dir / "a"), c.sourceRemains) << c.name;
    EXPECT_EQ(std::memcmp(out.szExistingFile, b.szExistingFile, sizeof b.szExistingFile), 0) << c.name;
    if (c.result && *c.target) {
      std::ifstream in(dir / c.target);
      std::string content;
      in >> content;
      EXPECT_EQ(content, "source") << c.name;
    }
  }
}

TEST_F(CommandWorkerTest, DelayedMoveAndDeleteAreRecordedAsPendingRenames) {
  using namespace platform;
  auto b = Block<MoveFileBlock>(CMD_MOVE_FILE);
  SetFieldText(b.szExistingFile, 261, u"/var/x.bin");
  SetFieldText(b.szNewFile, 261, u"");
  b.dwFlags = MOVEFILE_DELAY_UNTIL_REBOOT;
  auto out = RunBlock(b);
  EXPECT_EQ(out.bResult, 1);
  EXPECT_EQ(out.dwLastError, ERROR_SUCCESS);

  SetFieldText(b.szExistingFile, 261, u"/var/new.bin");
  SetFieldText(b.szNewFile, 261, u"/var/old.bin");
  b.dwFlags = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;
  out = RunBlock(b);
  EXPECT_EQ(out.bResult, 1);

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key),
            0u);
  uint32_t type = 0;
  std::vector<uint8_t> data(1024);
  uint32_t size = static_cast<uint32_t>(data.size());
  ASSERT_EQ(RegQueryValueExW(key, u"PendingFileRenameOperations", &type, data.data(), &size), 0u);
  RegCloseKey(key);
  EXPECT_EQ(type, REG_MULTI_SZ);
  const std::u16string expected(u"\\??\\/var/x.bin\0\0\\??\\/var/new.bin\0!\\??\\/var/old.bin\0\0", 52);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.data()), size / 2), expected);
}

}  // namespace
}  // namespace kestrix
