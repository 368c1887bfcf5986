// The service's start, controls and stop.
#include "service/KestrixSvcApp.h"

#include <chrono>

#include "channel/ChannelNames.h"
#include "channel/CommandBlock.h"
#include "catalogue/VersionLibrary.h"
#include "common/Win32Error.h"
#include "platform/Loader.h"
#include "platform/Process.h"
#include "platform/Power.h"
#include "service/BootUpdate.h"
#include "service/Install.h"
#include "platform/LastError.h"

namespace kestrix {

using namespace platform;

namespace {
constexpr uint32_t kControlsAccepted = 15;  // stop, pause and continue, shutdown, parameter change
}

CKestrixSvcApp::CKestrixSvcApp(std::unique_ptr<CommandHandlers> handlers, InstallPlatform installPlatform)
    : m_pHandlers(std::move(handlers)), m_InstallPlatform(std::move(installPlatform)) {
  // 1. Libraries loaded later come only from the system directory. The hardening call is the platform
  //    layer's own; the C library, loaded by its full path, stands where kernel32 stands on Windows.
  const std::string systemDirectory = GetSystemDirectory();
  m_hKernel32 = systemDirectory.empty() ? nullptr : LoadLibraryW(systemDirectory + "/" + kKernelLibrary);
  if (m_hKernel32 != nullptr) {
    m_pfnSetDefaultDllDirectories = &SetDefaultDllDirectories;
    m_pfnSetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // 2. The presence mutex only has to exist while the program runs; nothing waits on it.
  uint32_t error = 0;
  m_hPresenceMutex = Mutex::Open(u"Global\\Vidorud", error);
  if (!m_hPresenceMutex) {
    m_hPresenceMutex = Mutex::Create(u"Global\\Vidorud", false, error);
  }
  // 3. The version library, for the service's own version.
  BindVersionLibrary();
}

CKestrixSvcApp::~CKestrixSvcApp() {
  if (m_hWorkerThread) {
    StopSequence(0);
  }
  ReleaseVersionLibrary();
  FreeLibrary(m_hKernel32);
}

int CKestrixSvcApp::InitInstance(const std::u16string& commandLine) {
  if (commandLine.empty()) {
    StartServiceCtrlDispatcherW(kServiceName, [this] { ServiceMain(); });
    return 0;
  }
  // Only the first character counts, and only in upper case: "Install" installs, "i" and "/I" do nothing.
  const std::u16string path = GetModuleFileName();
  const auto slash = path.find_last_of(u"\\/");
  const std::u16string client = (slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1)) +
                                u"Kestrix.exe";
  if (commandLine[0] == u'I') {
    InstallService(path, m_InstallPlatform);
    AddFirewallRule(path, m_InstallPlatform);
    AddFirewallRule(client, m_InstallPlatform);
  } else if (commandLine[0] == u'U') {
    RemoveService(m_InstallPlatform);
    RemoveFirewallRule(path, m_InstallPlatform);
    RemoveFirewallRule(client, m_InstallPlatform);
  }
  return 0;
}

void CKestrixSvcApp::ReportStatus(uint32_t state, uint32_t controls, uint32_t exitCode, uint32_t checkPoint,
                                  uint32_t waitHint) {
  const SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, controls, exitCode, 0, checkPoint, waitHint};
  SetServiceStatus(m_hServiceStatus, status);
}

void CKestrixSvcApp::HoldWhilePaused() {
  std::unique_lock<std::mutex> lock(m_PauseLock);
  m_PauseChanged.wait(lock, [this] { return m_bPaused.load() == 0 || m_bStopWorker.load() == 1; });
}

void CKestrixSvcApp::ServiceMain() {
  // A scheduled boot-time update is over once the service starts: its entry and values go. When the
  // boot-time program asked for it, the machine is switched off instead of starting the service, and the
  // service manager hears nothing.
  uint32_t shutdown = 0;
  FinishBootUpdate(&shutdown);
  if (shutdown == 1) {
    EnableShutdownPrivilege();
    ExitWindowsEx(EWX_SHUTDOWN | EWX_FORCE, 0);
    StopSequence(GetLastError());
    return;
  }

  uint32_t error = ERROR_SUCCESS;
  do {
    m_hServiceStatus = RegisterServiceCtrlHandlerExW(kServiceName, [this](uint32_t c) { return ControlHandler(c); });
    if (m_hServiceStatus == nullptr) {
      error = GetLastError();
      break;
    }
    ReportStatus(SERVICE_START_PENDING, 0, 0, 0, 5000);

    m_hCommandEvent = Event::Create(CommandEventName(), false, false, error);
    if (!m_hCommandEvent) break;
    m_hSharedBlock = Section::Create(SharedBlockName(), kSharedBlockSize, error);
    if (!m_hSharedBlock) break;
    m_hStopEvent = Event::Create(u"", true, false, error);
    if (!m_hStopEvent) break;
    error = ERROR_SUCCESS;

    ReportStatus(SERVICE_START_PENDING, 0, 0, 1, 1000);
    ReportStatus(SERVICE_START_PENDING, 0, 0, 2, 5000);

    m_WorkerContext.pStopWorker = &m_bStopWorker;
    m_WorkerContext.pCommandEvent = m_hCommandEvent.get();
    m_WorkerContext.pSharedBlock = m_hSharedBlock.get();
    m_WorkerContext.pSelfUpdate = &m_SelfUpdate;
    m_WorkerContext.pHandlers = m_pHandlers.get();
    m_WorkerContext.holdWhilePaused = [this] { HoldWhilePaused(); };
    m_bWorkerEnded = false;
    m_hWorkerThread = std::make_unique<std::thread>([this] {
      CommandWorker(m_WorkerContext);
      m_bWorkerEnded = true;
    });
    m_bRunning = 1;
    ReportStatus(SERVICE_RUNNING, kControlsAccepted, 0, 0, 0);

    while (m_hStopEvent->Wait(1000) != WaitResult::Signaled) {
    }
  } while (false);

  StopSequence(error);
  m_hStopEvent.reset();
}

void CKestrixSvcApp::StopSequence(uint32_t exitCode) {
  m_bStopWorker = 1;
  {
    std::lock_guard<std::mutex> guard(m_PauseLock);
  }
  m_PauseChanged.notify_all();
  if (m_hCommandEvent) {
    m_hCommandEvent->Set();
  }
  if (m_hWorkerThread) {
    uint32_t checkPoint = 0;
    for (;;) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (!m_bWorkerEnded && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (m_bWorkerEnded) break;
      if (m_hServiceStatus != nullptr) {
        ReportStatus(SERVICE_STOP_PENDING, kControlsAccepted, 0, ++checkPoint, 3000);
      }
    }
  }
  m_hCommandEvent.reset();
  if (m_hWorkerThread) {
    m_hWorkerThread->join();
    m_hWorkerThread.reset();
  }
  m_hSharedBlock.reset();
  if (m_hServiceStatus != nullptr) {
    ReportStatus(SERVICE_STOPPED, kControlsAccepted, exitCode, 0, 0);
  }
}

uint32_t CKestrixSvcApp::ControlHandler(uint32_t control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      ReportStatus(SERVICE_STOP_PENDING, kControlsAccepted, 0, 0, 5000);
      m_bRunning = 0;
      m_bPaused = 0;
      m_PauseChanged.notify_all();
      StopSequence(0);
      if (m_hStopEvent) {
        m_hStopEvent->Set();
      }
      break;
    case SERVICE_CONTROL_PAUSE:
      if (m_bRunning == 1 && m_bPaused == 0) {
        ReportStatus(SERVICE_PAUSE_PENDING, kControlsAccepted, 0, 0, 1000);
        m_bPaused = 1;
        ReportStatus(SERVICE_PAUSED, kControlsAccepted, 0, 0, 0);
      } else {
        ReportStatus(SERVICE_RUNNING, kControlsAccepted, 0, 0, 0);
      }
      break;
    case SERVICE_CONTROL_CONTINUE:
      if (m_bRunning == 1 && m_bPaused == 1) {
        ReportStatus(SERVICE_CONTINUE_PENDING, kControlsAccepted, 0, 0, 1000);
        {
          std::lock_guard<std::mutex> guard(m_PauseLock);
          m_bPaused = 0;
        }
        m_PauseChanged.notify_all();
        ReportStatus(SERVICE_RUNNING, kControlsAccepted, 0, 0, 0);
      } else {
        ReportStatus(SERVICE_RUNNING, kControlsAccepted, 0, 0, 0);
      }
      break;
    default:
      ReportStatus(SERVICE_RUNNING, kControlsAccepted, 0, 0, 0);
      break;
  }
  return ERROR_SUCCESS;
}

}  // namespace kestrix
