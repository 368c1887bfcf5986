// The service program's application object: the command channel's objects, the worker and the service's life.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "catalogue/SelfUpdateInfo.h"
#include "platform/KernelObjects.h"
#include "platform/ServiceControl.h"
#include "service/CommandHandlers.h"
#include "service/CommandWorker.h"
#include "service/Install.h"

namespace kestrix {

/// The process's one application object. Holds the channel's objects, the worker thread and the stop event
/// from the service's start to its stop.
class CKestrixSvcApp {
 public:
  explicit CKestrixSvcApp(std::unique_ptr<CommandHandlers> handlers, InstallPlatform installPlatform = {});
  ~CKestrixSvcApp();
  CKestrixSvcApp(const CKestrixSvcApp&) = delete;
  CKestrixSvcApp& operator=(const CKestrixSvcApp&) = delete;

  /// Chooses by the command line (the text after the program's name): empty runs the service under the
  /// service manager. Returns the process's exit code, always 0.
  int InitInstance(const std::u16string& commandLine);

  /// The service's entry: brings the service up, waits for the end and tears it down.
  void ServiceMain();

  /// The control handler: acts on one control code and reports the resulting state.
  uint32_t ControlHandler(uint32_t control);

  /// The stop sequence: stops the worker, closes the channel's objects, reports the service stopped with
  /// `exitCode`. May run twice; the second run finds nothing open.
  void StopSequence(uint32_t exitCode);

 private:
  void ReportStatus(uint32_t state, uint32_t controls, uint32_t exitCode, uint32_t checkPoint, uint32_t waitHint);
  void HoldWhilePaused();

  std::unique_ptr<CommandHandlers> m_pHandlers;
  InstallPlatform m_InstallPlatform;
  std::unique_ptr<platform::Mutex> m_hPresenceMutex;
  int (*m_pfnSetDefaultDllDirectories)(uint32_t) = nullptr;
  void* m_hKernel32 = nullptr;
  platform::SERVICE_STATUS_HANDLE m_hServiceStatus = nullptr;
  std::unique_ptr<platform::Event> m_hStopEvent;
  std::atomic<int32_t> m_bPaused{0};
  std::atomic<int32_t> m_bRunning{0};
  std::atomic<int32_t> m_bStopWorker{0};
  std::unique_ptr<std::thread> m_hWorkerThread;
  std::atomic<bool> m_bWorkerEnded{false};
  std::unique_ptr<platform::Event> m_hCommandEvent;
  std::unique_ptr<platform::Section> m_hSharedBlock;
  SelfUpdateInfo m_SelfUpdate{};
  CommandWorkerContext m_WorkerContext;
  std::mutex m_PauseLock;
  std::condition_variable m_PauseChanged;
};

}  // namespace kestrix
