// kestrixctl: the administrators' and scripts' client of the Kestrix service's command channel.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "channel/CommandBlock.h"
#include "channel/CommandClient.h"
#include "common/Utf16.h"
#include "common/Win32Error.h"
#include "platform/FileOps.h"
#include "tools/kestrixctl/Output.h"
#include "tools/kestrixctl/RegCommand.h"

namespace kestrix::ctl {
namespace {

// Exit codes a script can act on.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;          // carried out, but the command's own outcome is a failure
constexpr int kExitUsage = 2;           // bad arguments
constexpr int kExitNotRunning = 3;      // the service is not running (the channel answered 4)
constexpr int kExitTimeout = 4;         // no answer within --timeout
constexpr int kExitUnreadable = 5;      // the answer could not be read back (255)
constexpr int kExitRefused = 6;         // the service refused the block (dwStatus 1)

const char kUsage[] =
    "usage: kestrixctl [--json] [--timeout SECONDS] COMMAND [ARGS]\n"
    "\n"
    "Talks to the Kestrix service (KestrixSvc) through its command channel.\n"
    "\n"
    "commands:\n"
    "  check                 download the catalogue and list the drives with newer firmware (command 240)\n"
    "  info INDEX            one drive record of the last firmware check (command 241)\n"
    "  list                  every drive record of the last firmware check (command 241 per index)\n"
    "  language NUMBER       store the user's language: 0 English ... 6 Simplified Chinese, 7 Japanese (246)\n"
    "  schedule OPTIONS      schedule a boot-time update (242); see 'kestrixctl schedule --help'\n"
    "  clear                 delete the stored result of the last update (243)\n"
    "  status                progress and result of the update job (245)\n"
    "  version               the service's version and whether a newer one is published (247)\n"
    "  move SOURCE [TARGET]  move a file with the service's rights; no TARGET deletes (248)\n"
    "  raw                   send a command block given as bytes and print the whole reply block\n"
    "  reg                   query and change the registry store (see 'kestrixctl reg --help')\n"
    "\n"
    "options:\n"
    "  --json                print machine-readable JSON\n"
    "  --timeout SECONDS     bound each wait for the service (default 30; 0 waits without limit)\n"
    "  -h, --help            show this text (also after any command)\n"
    "\n"
    "exit codes: 0 ok, 1 the command's own outcome is a failure, 2 usage, 3 service not running,\n"
    "            4 no answer in time, 5 answer unreadable, 6 the service refused the block\n";

struct Options {
  bool json = false;
  uint32_t timeoutMs = 30000;
};

bool WantsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "-h" || a == "--help") return true;
  }
  return false;
}

int Usage(const char* text, const char* error = nullptr) {
  if (error != nullptr) {
    std::fprintf(stderr, "kestrixctl: %s\n\n", error);
  }
  std::fputs(text, error != nullptr ? stderr : stdout);
  return error != nullptr ? kExitUsage : kExitOk;
}

bool ParseInt(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// Sends a block and turns the channel's result into an exit code, with a message for the failures.
int Send(const Options& options, void* block, uint32_t length) {
  std::unique_ptr<platform::Mutex> mutex;
  OpenCommandMutex(mutex);
  SendOptions send;
  if (options.timeoutMs != 0) {
    send.mutexTimeoutMs = options.timeoutMs;
    send.replyTimeoutMs = options.timeoutMs;
  }
  const int result = SendCommandBlock(mutex.get(), block, length, send);
  switch (result) {
    case 0:
      return kExitOk;
    case 1:
      std::fprintf(stderr, "kestrixctl: the service refused the command (unknown code or wrong size)\n");
      return kExitRefused;
    case kSendUnreachable:
      std::fprintf(stderr, "kestrixctl: the Kestrix service is not running (its command channel cannot be opened)\n");
      return kExitNotRunning;
    case kSendTimedOut:
      std::fprintf(stderr, "kestrixctl: no answer from the service within %u s (is it paused or busy?)\n",
                   options.timeoutMs / 1000);
      return kExitTimeout;
    case kSendUnreadable:
      std::fprintf(stderr, "kestrixctl: the service's answer could not be read back; the command was carried out\n");
      return kExitUnreadable;
    default:
      std::fprintf(stderr, "kestrixctl: the service left status %d\n", result);
      return kExitFailed;
  }
}

template <class T>
T NewBlock(uint32_t command) {
  T block{};
  block.hdr.dwCommand = command;
  block.hdr.dwStatus = 0;
  block.hdr.dwSize = sizeof(T);
  return block;
}

int CmdInfo(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl info INDEX\n\nPrints the drive record at INDEX of the service's drive list (command 241).\n"
      "An index outside the list gives an empty record and exit code 1.\n";
  if (WantsHelp(args)) return Usage(usage);
  long long index = 0;
  if (args.size() != 1 || !ParseInt(args[0], INT32_MIN, INT32_MAX, &index)) {
    return Usage(usage, "info takes one integer INDEX");
  }
  auto block = NewBlock<GetDeviceInfoBlock>(CMD_GET_DEVICE_INFO);
  block.nIndex = static_cast<int32_t>(index);
  if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
  const bool empty = IsEmptyRecord(block.DeviceInfo);
  if (options.json) {
    std::printf("{\"index\":%lld,\"present\":%s,\"record\":%s}\n", index, empty ? "false" : "true",
                empty ? "null" : DeviceInfoJson(block.DeviceInfo).c_str());
  } else if (empty) {
    std::printf("no drive at index %lld\n", index);
  } else {
    std::printf("drive %lld:\n%s", index, DeviceInfoText(block.DeviceInfo).c_str());
  }
  return empty ? kExitFailed : kExitOk;
}

int CmdList(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl list\n\nPrints every record of the service's drive list, as the last firmware check left it.\n";
  if (WantsHelp(args)) return Usage(usage);
  if (!args.empty()) return Usage(usage, "list takes no arguments");
  std::vector<_DEVICE_INFO> records;
  // The list holds at most one record per physical drive, and drives are numbered 0 to 31.
  for (int32_t index = 0; index < 32; ++index) {
    auto block = NewBlock<GetDeviceInfoBlock>(CMD_GET_DEVICE_INFO);
    block.nIndex = index;
    if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
    if (IsEmptyRecord(block.DeviceInfo)) break;
    records.push_back(block.DeviceInfo);
  }
  if (options.json) {
    std::string out = "[";
    for (std::size_t i = 0; i < records.size(); ++i) {
      out += (i ? "," : "") + DeviceInfoJson(records[i]);
    }
    std::printf("%s]\n", out.c_str());
  } else if (records.empty()) {
    std::printf("the drive list is empty (no firmware check has found a catalogued drive)\n");
  } else {
    for (std::size_t i = 0; i < records.size(); ++i) {
      std::printf("drive %zu:\n%s", i, DeviceInfoText(records[i]).c_str());
    }
  }
  return kExitOk;
}

int CmdLanguage(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl language NUMBER\n\nStores the user's language in the service's key (command 246):\n"
      "0 English, 1 French, 2 German, 3 Italian, 4 Spanish, 5 Portuguese, 6 Simplified Chinese, 7 Japanese.\n"
      "The number is stored as given; the service does not report a failed write.\n";
  if (WantsHelp(args)) return Usage(usage);
  long long language = 0;
  if (args.size() != 1 || !ParseInt(args[0], 0, UINT32_MAX, &language)) {
    return Usage(usage, "language takes one unsigned NUMBER");
  }
  auto block = NewBlock<SetLanguageBlock>(CMD_SET_LANGUAGE);
  block.dwLanguage = static_cast<uint32_t>(language);
  if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
  if (options.json) {
    std::printf("{\"dwStatus\":%u,\"dwLanguage\":%u}\n", block.hdr.dwStatus, block.dwLanguage);
  } else {
    std::printf("language %u sent\n", block.dwLanguage);
  }
  return kExitOk;
}

int CmdMove(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl move [--replace] [--copy] [--delay] [--write-through] [--flags N] SOURCE [TARGET]\n\n"
      "Has the service move SOURCE to TARGET with its rights (command 248), by the rules of MoveFileExW.\n"
      "  --replace        replace an existing TARGET (MOVEFILE_REPLACE_EXISTING)\n"
      "  --copy           copy and delete across file systems (MOVEFILE_COPY_ALLOWED)\n"
      "  --delay          record the move for the next start instead (MOVEFILE_DELAY_UNTIL_REBOOT);\n"
      "                   without TARGET the file is deleted then\n"
      "  --write-through  return only when the move is on disk (MOVEFILE_WRITE_THROUGH)\n"
      "  --flags N        pass these flags as they are\n";
  if (WantsHelp(args)) return Usage(usage);
  uint32_t flags = 0;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--replace") flags |= platform::MOVEFILE_REPLACE_EXISTING;
    else if (a == "--copy") flags |= platform::MOVEFILE_COPY_ALLOWED;
    else if (a == "--delay") flags |= platform::MOVEFILE_DELAY_UNTIL_REBOOT;
    else if (a == "--write-through") flags |= platform::MOVEFILE_WRITE_THROUGH;
    else if (a == "--flags") {
      long long v = 0;
      if (i + 1 >= args.size() || !ParseInt(args[i + 1], 0, UINT32_MAX, &v)) return Usage(usage, "--flags takes a number");
      flags = static_cast<uint32_t>(v);
      ++i;
    } else if (a.rfind("--", 0) == 0) {
      return Usage(usage, ("unknown option " + a).c_str());
    } else {
      names.push_back(a);
    }
  }
  if (names.empty() || names.size() > 2) return Usage(usage, "move takes SOURCE and an optional TARGET");
  auto block = NewBlock<MoveFileBlock>(CMD_MOVE_FILE);
  const std::u16string source = FromUtf8(names[0]);
  const std::u16string target = names.size() > 1 ? FromUtf8(names[1]) : std::u16string();
  if (!SetFieldText(block.szExistingFile, 261, source) || !SetFieldText(block.szNewFile, 261, target)) {
    std::fprintf(stderr, "kestrixctl: a path is longer than the 260 characters the command carries\n");
    return kExitUsage;
  }
  block.dwFlags = flags;
  if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
  if (options.json) {
    std::printf("{\"bResult\":%d,\"dwLastError\":%u}\n", block.bResult, block.dwLastError);
  } else if (block.bResult != 0) {
    std::printf((flags & platform::MOVEFILE_DELAY_UNTIL_REBOOT) ? "recorded for the next start\n" : "moved\n");
  } else {
    std::fprintf(stderr, "kestrixctl: the move failed: Win32 error %u\n", block.dwLastError);
  }
  return block.bResult != 0 ? kExitOk : kExitFailed;
}

int CmdCheck(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl check\n\nHas the service download the firmware catalogue named by the registry value FwURL,\n"
      "check it and rebuild its drive list (command 240). Exit code 1 when the catalogue was not valid.\n";
  if (WantsHelp(args)) return Usage(usage);
  if (!args.empty()) return Usage(usage, "check takes no arguments");
  auto block = NewBlock<CheckFirmwareBlock>(CMD_CHECK_FIRMWARE);
  if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
  const std::string version = ToUtf8(FieldText(block.szCatalogueVersion, 9));
  if (options.json) {
    std::printf("{\"nDriveCount\":%d,\"szCatalogueVersion\":\"%s\",\"bCatalogueValid\":%d}\n", block.nDriveCount,
                JsonEscape(version).c_str(), block.bCatalogueValid);
  } else if (block.bCatalogueValid != 0) {
    std::printf("catalogue %s: %d catalogued drive(s); 'kestrixctl list' shows them\n", version.c_str(),
                block.nDriveCount);
  } else {
    std::printf("no valid catalogue (check the registry value FwURL and the server)\n");
  }
  return block.bCatalogueValid != 0 ? kExitOk : kExitFailed;
}

int CmdSchedule(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl schedule --app COMMANDLINE [--serial S] [--current-rev R] [--new-rev R] [--model M]\n"
      "                           [--fw-file PATH]\n\n"
      "Schedules a boot-time update (command 242): the service stores the values FW_NtApp, FW_Serial, FW_CurRev,\n"
      "FW_NewRev, FW_Model and FW_FWFile and appends COMMANDLINE to the Session Manager's BootExecute list.\n"
      "The next start of the service undoes the schedule. Limits: COMMANDLINE and PATH 260 characters, serial\n"
      "20, revisions 8, model 40.\n";
  if (WantsHelp(args)) return Usage(usage);
  auto block = NewBlock<ScheduleBootUpdateBlock>(CMD_SCHEDULE_BOOT_UPDATE);
  struct Field {
    const char* option;
    char16_t* field;
    std::size_t capacity;
  } const fields[] = {
      {"--app", block.szBootApp, 261},         {"--serial", block.szBootSerial, 21},
      {"--current-rev", block.szBootCurRev, 9}, {"--new-rev", block.szBootNewRev, 9},
      {"--model", block.szBootModel, 41},       {"--fw-file", block.szBootFWFile, 261},
  };
  bool haveApp = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Field* match = nullptr;
    for (const auto& f : fields) {
      if (args[i] == f.option) match = &f;
    }
    if (match == nullptr || i + 1 >= args.size()) return Usage(usage, ("unexpected argument " + args[i]).c_str());
    if (!SetFieldText(match->field, match->capacity, FromUtf8(args[++i]))) {
      return Usage(usage, (std::string(match->option) + " is longer than its field").c_str());
    }
    haveApp = haveApp || match->field == block.szBootApp;
  }
  if (!haveApp) return Usage(usage, "schedule needs --app");
  if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
  std::printf(options.json ? "{\"dwStatus\":0}\n" : "boot-time update handed to the service\n");
  return kExitOk;
}

int CmdClear(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl clear\n\nDeletes the stored result of the last update (FW_Result, FW_Error, FW_UpdRev; command 243).\n";
  if (WantsHelp(args)) return Usage(usage);
  if (!args.empty()) return Usage(usage, "clear takes no arguments");
  CommandBlock header{CMD_CLEAR_RESULT, 0, sizeof(CommandBlock)};
  if (const int rc = Send(options, &header, sizeof(header)); rc != kExitOk) return rc;
  std::printf(options.json ? "{\"dwStatus\":0}\n" : "result cleared\n");
  return kExitOk;
}

int CmdStatus(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl status\n\nPrints the progress, result code and new revision of the current or last update job\n"
      "(command 245). Exit code 1 when the finished job failed (a result code that is not a multiple of 100).\n";
  if (WantsHelp(args)) return Usage(usage);
  if (!args.empty()) return Usage(usage, "status takes no arguments");
  auto block = NewBlock<GetUpdateStatusBlock>(CMD_GET_UPDATE_STATUS);
  if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
  const std::string revision = ToUtf8(FieldText(block.szNewRevision, 9));
  if (options.json) {
    std::printf("{\"nProgress\":%d,\"nResultCode\":%d,\"szNewRevision\":\"%s\",\"bDone\":%d}\n", block.nProgress,
                block.nResultCode, JsonEscape(revision).c_str(), block.bDone);
  } else {
    std::printf("progress %d%%, result %d, new revision %s, %s\n", block.nProgress, block.nResultCode,
                revision.empty() ? "(none)" : revision.c_str(), block.bDone ? "done" : "not done");
  }
  return (block.bDone != 0 && block.nResultCode % 100 != 0) ? kExitFailed : kExitOk;
}

int CmdVersion(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl version\n\nPrints the service's own version and what the self-update file for the stored\n"
      "language announces (command 247).\n";
  if (WantsHelp(args)) return Usage(usage);
  if (!args.empty()) return Usage(usage, "version takes no arguments");
  auto block = NewBlock<CheckNewVersionBlock>(CMD_CHECK_NEW_VERSION);
  if (const int rc = Send(options, &block, sizeof(block)); rc != kExitOk) return rc;
  const SelfUpdateInfo& u = block.SelfUpdate;
  const std::string url = ToUtf8(FieldText(u.szURL, 261));
  const std::string setup = ToUtf8(FieldText(u.szSetupURL, 261));
  if (options.json) {
    std::printf("{\"nCurMajor\":%d,\"nCurMinor\":%d,\"nNewMajor\":%d,\"nNewMinor\":%d,\"bNewVersion\":%d,"
                "\"szURL\":\"%s\",\"szSetupURL\":\"%s\"}\n",
                u.nCurMajor, u.nCurMinor, u.nNewMajor, u.nNewMinor, u.bNewVersion, JsonEscape(url).c_str(),
                JsonEscape(setup).c_str());
  } else {
    std::printf("service version %d.%d\n", u.nCurMajor, u.nCurMinor);
    if (u.bNewVersion != 0) {
      std::printf("newer version %d.%d published: %s (setup %s)\n", u.nNewMajor, u.nNewMinor, url.c_str(),
                  setup.c_str());
    } else {
      std::printf("no newer version announced\n");
    }
  }
  return kExitOk;
}

bool ReadAll(std::istream& in, std::string* out) {
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int CmdRaw(const Options& options, const std::vector<std::string>& args) {
  static const char usage[] =
      "usage: kestrixctl raw [--hex HEX | --file FILE | --stdin] [--binary]\n\n"
      "Sends a command block given as bytes and prints the whole reply block as hex (or raw bytes with --binary).\n"
      "The block is padded with zeros to at least 12 bytes and to the size its dwSize names, so the reply covers\n"
      "every byte of the command. --file and --stdin take raw bytes; --hex takes hex digits (spaces allowed).\n";
  if (WantsHelp(args)) return Usage(usage);
  std::vector<uint8_t> bytes;
  bool binary = false;
  bool haveInput = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--hex" && i + 1 < args.size()) {
      if (!ParseHex(args[++i], &bytes)) return Usage(usage, "--hex takes an even number of hex digits");
      haveInput = true;
    } else if (a == "--file" && i + 1 < args.size()) {
      std::ifstream in(args[++i], std::ios::binary);
      std::string data;
      if (!in || !ReadAll(in, &data)) {
        std::fprintf(stderr, "kestrixctl: cannot read %s\n", args[i].c_str());
        return kExitUsage;
      }
      bytes.assign(data.begin(), data.end());
      haveInput = true;
    } else if (a == "--stdin") {
      std::string data;
      ReadAll(std::cin, &data);
      bytes.assign(data.begin(), data.end());
      haveInput = true;
    } else if (a == "--binary") {
      binary = true;
    } else {
      return Usage(usage, ("unknown argument " + a).c_str());
    }
  }
  if (!haveInput) return Usage(usage, "raw needs --hex, --file or --stdin");
  if (bytes.size() > kSharedBlockSize) {
    std::fprintf(stderr, "kestrixctl: the block is larger than the shared block (%u bytes)\n", kSharedBlockSize);
    return kExitUsage;
  }
  bytes.resize(std::max<std::size_t>(bytes.size(), sizeof(CommandBlock)), 0);
  CommandBlock header{};
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (header.dwSize > bytes.size() && header.dwSize <= kSharedBlockSize) {
    bytes.resize(header.dwSize, 0);
  }
  const int rc = Send(options, bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (rc != kExitOk && rc != kExitRefused) return rc;
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (binary) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  } else if (options.json) {
    std::printf("{\"dwCommand\":%u,\"dwStatus\":%u,\"dwSize\":%u,\"block\":\"%s\"}\n", header.dwCommand,
                header.dwStatus, header.dwSize, Hex(bytes.data(), bytes.size()).c_str());
  } else {
    std::printf("%s\n", Hex(bytes.data(), bytes.size()).c_str());
  }
  return rc;
}

}  // namespace
}  // namespace kestrix::ctl

int main(int argc, char** argv) {
  using namespace kestrix::ctl;
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json") {
      options.json = true;
    } else if (a == "--timeout" && i + 1 < argc) {
      long long seconds = 0;
      if (!ParseInt(argv[++i], 0, 86400, &seconds)) return Usage(kUsage, "--timeout takes whole seconds, 0 to 86400");
      options.timeoutMs = static_cast<uint32_t>(seconds * 1000);
    } else if (a == "-h" || a == "--help") {
      return Usage(kUsage);
    } else if (a.rfind("-", 0) == 0) {
      return Usage(kUsage, ("unknown option " + a).c_str());
    } else {
      break;
    }
  }
  if (i >= argc) return Usage(kUsage, "no command given");
  const std::string command = argv[i];
  if (command == "reg") {
    return RunRegCommand(argc - i, argv + i);
  }
  const std::vector<std::string> args(argv + i + 1, argv + argc);
  if (command == "check") return CmdCheck(options, args);
  if (command == "schedule") return CmdSchedule(options, args);
  if (command == "clear") return CmdClear(options, args);
  if (command == "status") return CmdStatus(options, args);
  if (command == "version") return CmdVersion(options, args);
  if (command == "info") return CmdInfo(options, args);
  if (command == "list") return CmdList(options, args);
  if (command == "language") return CmdLanguage(options, args);
  if (command == "move") return CmdMove(options, args);
  if (command == "raw") return CmdRaw(options, args);
  return Usage(kUsage, ("unknown command " + command).c_str());
}
