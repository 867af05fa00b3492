// The process-wide service host: the service's names and status, the
// service main function and control handler the Service Control Manager
// calls, the run step that sets up COM and drives the monitor's message
// loop, and the process entry that chooses between registration, a service
// run and a plain-process run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "service/event_log_reporter.h"
#include "service/server_module.h"
#include "shutdown/shutdown_progress.h"

namespace talv {

class CStoreDiskMonitor;

class CServiceHost : public CServerModule, public CEventLogReporter, public ShutdownProgress {
 public:
  static constexpr std::size_t kServiceNameUnits = 256;

  // The one host of the process; ServiceEntry and ControlHandler act on it.
  explicit CServiceHost(Platform& platform);
  ~CServiceHost() override;

  // --- service/service_host.cpp ---------------------------------------
  // Server module, names from the string table, status defaults.
  void Setup(ClassTableEntry* classTable, ModuleHandle instance, std::uint32_t serviceNameId);
  // Hands ServiceEntry to the dispatcher, or runs the monitor as a plain
  // process when there is no dispatcher to reach. After the dispatcher it
  // waits (a few seconds at most) until the service thread has left
  // ServiceEntry.
  void Launch();
  // COM set-up, the monitor, the message loop, tear-down.
  void RunService();
  // Stores `state`, with check point and wait hint 0, and reports the
  // whole status record.
  void ReportStatus(std::uint32_t state);
  // While a stop is pending (and only then): reports stop pending again,
  // check point one higher, wait hint `ms` and the progress margin. The
  // monitor's shutdown calls it before each of its long steps.
  void NextStep(std::uint32_t ms) override;
  // Reports the running state, unless a stop has been requested (or handled)
  // already.
  void ReportRunningUnlessStopping();
  // Clears exit code, check point and wait hint of the status record, in
  // one step under the lock.
  void ClearStatusProgress();
  // A copy of the status record, taken consistently.
  ServiceStatus Status() const;
  void SetStatus(const ServiceStatus& s);
  Platform& platform() { return platform_; }
  CStoreDiskMonitor* monitor() const { return monitor_.get(); }
  static CServiceHost* Instance();

  // --- registration/registration_commands.cpp ------------------------------
  // Registration commands; their result is the process exit code.
  virtual HResult RegisterProgram(bool registerTypeLib, bool asService);
  virtual HResult UnregisterProgram();
  // The service under `serviceName`: present, created or reconfigured in
  // place, or stopped and deleted. Each returns 0 or the failed step's
  // platform error (after a message).
  bool IsServiceInstalled();
  [[nodiscard]] WinError InstallService();
  [[nodiscard]] WinError UninstallService();
  // Stops an installed service and waits for it (see serviceStopBoundMs);
  // 0 when none is installed.
  [[nodiscard]] WinError StopService(bool* wasRunning);
  // Starts the installed service; 0 when it runs already.
  [[nodiscard]] WinError StartService();

  // How long a registration run waits, at most, for an earlier service to
  // stop while its status shows progress: a service shutting Exchange down
  // takes its stop only after the shutdown.
  static constexpr std::uint32_t kServiceStopBoundMs = 15 * 60 * 1000;
  // How long a deleted service held open elsewhere is waited for.
  static constexpr std::uint32_t kServiceGoneBoundMs = 30 * 1000;
  std::uint32_t serviceStopBoundMs = kServiceStopBoundMs;
  std::uint32_t serviceGoneBoundMs = kServiceGoneBoundMs;

  char16_t serviceName[kServiceNameUnits] = {};
  std::atomic<StatusHandle> statusHandle{0};
  std::atomic<std::uint32_t> runThreadId{0};
  // Set by a stop control; the run loop looks at it before it waits, so a
  // stop that comes before the loop can take posted messages is not lost.
  std::atomic<bool> stopRequested{false};

 private:
  friend void ControlHandler(std::uint32_t control);
  friend void ServiceEntry(std::uint32_t argc, char16_t** argv);
  // --- service/service_host.cpp ---------------------------------------
  // Marks the service thread inside ServiceEntry or out of it.
  void SetInServiceEntry(bool inside);
  // Waits until no thread is inside ServiceEntry, at most `ms` milliseconds.
  void WaitForServiceEntryToEnd(std::uint32_t ms);
  // --- registration/registration_commands.cpp ------------------------------
  // A message box with the service name as caption, OK only; where the
  // window station is not visible, an error event and a line on standard
  // error instead.
  void ShowMessage(const char16_t* text);
  // Opens the manager and the service under `serviceName` with `access`:
  // 0, 1060 when there is none, or the failed open's error after its message.
  WinError OpenOwnService(UniqueScHandle& manager, UniqueScHandle& service, std::uint32_t access);

  Platform& platform_;
  // Both the run thread and the handler's thread report states.
  mutable std::mutex statusLock_;
  ServiceStatus status_;
  // Whether the service thread is inside ServiceEntry.
  std::mutex entryLock_;
  std::condition_variable entryLeft_;
  bool inServiceEntry_ = false;
  // The monitor lives as long as the host, that is until the process ends.
  std::unique_ptr<CStoreDiskMonitor> monitor_;
};

// --- service/service_host.cpp -----------------------------------------
// The service main function: handler, start pending, the run, stopped.
void ServiceEntry(std::uint32_t argc, char16_t** argv);
// The control handler: only a stop control is acted on.
void ControlHandler(std::uint32_t control);

// The position just after the next separator in `text`, or null.
const char16_t* FindNextSwitch(const char16_t* text, const char16_t* separators);

// The whole process: switches, the "LocalService" test, Launch; returns the
// exit code.
int ProcessEntry(CServiceHost& host, ModuleHandle instance);

inline constexpr const char16_t* kAppIdKey = u"{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}";

}  // namespace talv
