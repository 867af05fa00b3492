#include "service/service_host.h"

#include <chrono>
#include <new>

#include "monitor/store_disk_monitor.h"
#include "platform/text.h"
#include "resources/messages.h"
#include "service/check_command.h"
#include "service/security_descriptor.h"

namespace talv {

namespace {

std::atomic<CServiceHost*> g_host{nullptr};

constexpr std::uint32_t kClassContextServer = 0x14;  // CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER
constexpr std::uint32_t kRegclsMultipleUse = 1;
constexpr std::uint32_t kCoinitMultithreaded = 0;
// How long the process waits, after the dispatcher returned, for the service
// thread to finish ServiceEntry.
constexpr std::uint32_t kServiceEntryEndWaitMs = 5000;
// Added to the length of a shutdown's next step in the wait hint of a stop
// that waits for the shutdown: the calls around the step (opening and
// querying services) on a loaded server.
constexpr std::uint32_t kStopProgressMarginMs = 10000;


}  // namespace

CServiceHost::CServiceHost(Platform& platform)
    : CEventLogReporter(platform.eventLog, platform.console), platform_(platform) {
  g_host.store(this);
}

CServiceHost::~CServiceHost() {
  CServiceHost* self = this;
  g_host.compare_exchange_strong(self, nullptr);
}

CServiceHost* CServiceHost::Instance() { return g_host.load(); }

void CServiceHost::Setup(ClassTableEntry* classTable, ModuleHandle instance,
                         std::uint32_t serviceNameId) {
  InitServerModule(classTable, instance, platform_.com);
  runningAsService = 1;
  serviceName[0] = 0;
  platform_.system.LoadString(instance, serviceNameId, serviceName, kServiceNameUnits);
  char16_t display[kDisplayNameUnits] = {};
  platform_.system.LoadString(instance, resources::kIdDisplayName, display, kDisplayNameUnits);
  SetDisplayName(display);
  statusHandle = 0;
  ServiceStatus s;
  s.dwServiceType = svc::kWin32OwnProcess;
  s.dwCurrentState = svc::kStopped;
  s.dwControlsAccepted = svc::kAcceptStop;
  SetStatus(s);
}

ServiceStatus CServiceHost::Status() const {
  std::lock_guard<std::mutex> lock(statusLock_);
  return status_;
}

void CServiceHost::SetStatus(const ServiceStatus& s) {
  std::lock_guard<std::mutex> lock(statusLock_);
  status_ = s;
}

void CServiceHost::ReportStatus(std::uint32_t state) {
  // The record is stored and sent under one lock, so a report from the
  // handler's thread and one from the run thread never mix their fields.
  std::lock_guard<std::mutex> lock(statusLock_);
  status_.dwCurrentState = state;
  status_.dwCheckPoint = 0;
  status_.dwWaitHint = 0;
  // A status the SCM refuses changes nothing the service could act on.
  (void)platform_.scm.SetStatus(statusHandle.load(), status_);
}

void CServiceHost::NextStep(std::uint32_t ms) {
  // Under the lock the handler reports stop pending under: a stop handled
  // before this point shows its progress, one handled after it starts at
  // check point 0 as every stop does.
  std::lock_guard<std::mutex> lock(statusLock_);
  if (status_.dwCurrentState != svc::kStopPending) return;
  ++status_.dwCheckPoint;
  constexpr std::uint32_t kLongest = UINT32_MAX;
  status_.dwWaitHint =
      ms > kLongest - kStopProgressMarginMs ? kLongest : ms + kStopProgressMarginMs;
  (void)platform_.scm.SetStatus(statusHandle.load(), status_);
}

void CServiceHost::ReportRunningUnlessStopping() {
  // Checked under the lock the handler reports stop pending under: a stop
  // handled before this point is seen, one handled after it follows the
  // running report.
  std::lock_guard<std::mutex> lock(statusLock_);
  if (stopRequested.load() || status_.dwCurrentState == svc::kStopPending) return;
  status_.dwCurrentState = svc::kRunning;
  (void)platform_.scm.SetStatus(statusHandle.load(), status_);
}

void CServiceHost::ClearStatusProgress() {
  std::lock_guard<std::mutex> lock(statusLock_);
  status_.dwWin32ExitCode = 0;
  status_.dwCheckPoint = 0;
  status_.dwWaitHint = 0;
}

void CServiceHost::SetInServiceEntry(bool inside) {
  // Notified under the lock: once the waiter sees the flag clear, this
  // thread touches the host no more.
  std::lock_guard<std::mutex> lock(entryLock_);
  inServiceEntry_ = inside;
  entryLeft_.notify_all();
}

void CServiceHost::WaitForServiceEntryToEnd(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(entryLock_);
  entryLeft_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !inServiceEntry_; });
}

void CServiceHost::RunService() {
  Windowing& windowing = platform_.windowing;
  runThreadId = windowing.CurrentThreadId();
  // The run leaves COM once at its end whatever the join answered.
  (void)platform_.com.CoInitializeEx(kCoinitMultithreaded);
  ComApartment apartment(platform_.com, true);
  CProcessSecurityDescriptor sd(platform_.security);
  InitializeProcessSecurity(platform_.com, sd);
  RegisterClassFactories(kClassContextServer, kRegclsMultipleUse);
  WriteEventLog(evt::kInformation, resources::kTextServiceStarted);
  // A stop that came before this point is never followed by "running".
  if (runningAsService) ReportRunningUnlessStopping();

  // The window's creation result is not looked at: the loop runs whether or
  // not the monitor exists, and the service stays stoppable.
  WindowHandle desktop = windowing.DesktopWindow();
  if (!monitor_) monitor_.reset(new (std::nothrow) CStoreDiskMonitor(platform_, *this));
  if (monitor_) {
    // A stop that waits for a shutdown of Exchange shows its progress.
    monitor_->SetShutdownProgress(this);
    WindowCreateParams params = CStoreDiskMonitor::DefaultCreateParams(windowing);
    params.parent = desktop;
    monitor_->Create(params);
  }

  // A stop that came before this thread could take posted messages is seen
  // here; one that comes later arrives as WM_QUIT. A failing queue (-1)
  // would fail again at once: it ends the loop as the quit message does.
  if (!stopRequested.load()) {
    WindowMessage msg;
    while (windowing.GetMessage(&msg) > 0) windowing.DispatchMessage(msg);
  }

  RevokeClassFactories();
  apartment.reset();  // COM is left before the descriptor it was given goes (sd's end)
}

void ServiceEntry(std::uint32_t /*argc*/, char16_t** /*argv*/) {
  CServiceHost* host = CServiceHost::Instance();
  if (host == nullptr) return;
  // Launch waits for the end of this scope before the process may end.
  struct InsideEntry {
    CServiceHost& host;
    explicit InsideEntry(CServiceHost& h) : host(h) { host.SetInServiceEntry(true); }
    ~InsideEntry() { host.SetInServiceEntry(false); }
  } inside(*host);
  ServiceStatus s = host->Status();
  s.dwCurrentState = svc::kStartPending;
  host->SetStatus(s);
  StatusHandle handle = 0;
  WinError registered =
      host->platform().scm.RegisterControlHandler(host->serviceName, ControlHandler, &handle);
  if (registered != err::kSuccess || handle == 0) {
    host->WriteEventLog(evt::kError, resources::kTextHandlerNotInstalled);
    // Without a handler no state can ever be reported, and the dispatcher
    // would wait for ever with the service start-pending. The process ends
    // instead: the manager records an unexpected end and runs the service's
    // recovery actions.
    host->platform().system.ExitProcess(registered != err::kSuccess ? registered
                                                                    : err::kInvalidHandle);
    return;
  }
  host->statusHandle = handle;
  host->ReportStatus(svc::kStartPending);
  // One step under the lock: a stop handled meanwhile is never overwritten.
  host->ClearStatusProgress();
  host->RunService();
  host->ReportStatus(svc::kStopped);
  host->WriteEventLog(evt::kInformation, resources::kTextServiceStopped);
}

void ControlHandler(std::uint32_t control) {
  CServiceHost* host = CServiceHost::Instance();
  if (host == nullptr || control != svc::kControlStop) return;
  host->ReportStatus(svc::kStopPending);
  host->stopRequested = true;
  std::uint32_t thread = host->runThreadId.load();
  if (thread != 0) host->platform().windowing.PostThreadMessage(thread, wm::kQuit, 0, 0);
}

void CServiceHost::Launch() {
  if (runningAsService) {
    if (platform_.scm.StartDispatcher(serviceName, ServiceEntry) != err::kSuccess)
      runningAsService = 0;
    if (runningAsService) {
      // The dispatcher returns as soon as the stopped state is reported,
      // while the service thread still writes "Service stopped": the process
      // end (static destructors, then the end of every thread) must not
      // come before that thread is done with the host.
      WaitForServiceEntryToEnd(kServiceEntryEndWaitMs);
      return;
    }
  }
  RunService();
}

const char16_t* FindNextSwitch(const char16_t* text, const char16_t* separators) {
  if (text == nullptr) return nullptr;
  for (const char16_t* p = text; *p; ++p)
    for (const char16_t* s = separators; *s; ++s)
      if (*p == *s) return p + 1;
  return nullptr;
}

int ProcessEntry(CServiceHost& host, ModuleHandle instance) {
  Platform& platform = host.platform();
  const char16_t* commandLine = platform.system.CommandLine();
  host.Setup(ProgramClassTable(), instance, resources::kIdServiceName);
  // No critical-error or open-file error box may ever wait for a click on
  // an unattended server.
  platform.system.SetErrorMode(platform.system.GetErrorMode() | 0x8001u);
  host.runningAsService = 1;

  const char16_t* separators = u"-/";
  for (const char16_t* token = FindNextSwitch(commandLine, separators); token != nullptr;
       token = FindNextSwitch(token, separators)) {
    if (SameName(token, u"UnregServer")) return static_cast<int>(host.UnregisterProgram());
    if (SameName(token, u"RegServer")) return static_cast<int>(host.RegisterProgram(true, false));
    if (SameName(token, u"Service")) return static_cast<int>(host.RegisterProgram(true, true));
    if (IsCheckSwitch(token)) return RunCheckCommand(host);
  }

  UniqueKey appIds;
  if (WinError e = Open(appIds, platform.registry, reg::kClassesRoot, u"AppID", reg::kRead))
    return static_cast<int>(e);
  UniqueKey identity;
  if (WinError e = Open(identity, platform.registry, appIds.get(), kAppIdKey, reg::kRead))
    return static_cast<int>(e);
  std::uint8_t data[260];
  std::uint32_t size = sizeof data;
  std::uint32_t type = 0;
  host.runningAsService =
      platform.registry.QueryValue(identity.get(), u"LocalService", &type, data, &size) ==
              err::kSuccess
          ? 1
          : 0;
  host.Launch();
  identity.reset();
  appIds.reset();
  return static_cast<int>(host.Status().dwWin32ExitCode);
}

}  // namespace talv
