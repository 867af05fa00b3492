// The registration commands of the service host: "RegServer", "Service"
// and "UnregServer" write or remove the program's application identity,
// install, reconfigure or delete the TALVMON service, register or
// unregister the type library and the event source's message file. A run
// either completes or fails with the failed step's error; an earlier
// service that does not stop leaves everything as it was. Failures are shown in message boxes, or, where no
// one could see a box, written to the event log and standard error.
#include "registration/event_source.h"
#include "registration/registry_script.h"
#include "registration/type_library.h"
#include "service/service_host.h"

namespace talv {

namespace {

constexpr std::uint16_t kRegistryScriptId = 100;
constexpr const char16_t* kLocalService = u"TALVMON";
constexpr const char16_t* kServiceParameters = u"-Service";
// The one service TALVMON depends on, as a double-NUL-terminated list.
constexpr char16_t kDependencies[] = u"QORDAS\0";

WinError SetString(Registry& registry, RegKey key, const char16_t* name, const char16_t* text) {
  std::uint32_t units = 0;
  while (text[units]) ++units;
  return registry.SetValue(key, name, reg::kSz, text, (units + 1) * sizeof(char16_t));
}

RegistryScriptPorts ScriptPorts(Platform& p) {
  return RegistryScriptPorts{p.registry, p.system, p.resources, &p.libraries};
}

// Whether the service is there (anything but 1060 when it is opened): 0
// and `*installed`, or the error of a manager that cannot be opened at all
// (no administrator rights), which is not "nothing installed".
WinError ServicePresence(ServiceManager& scm, const char16_t* name, bool* installed) {
  UniqueScHandle manager;
  if (WinError e = OpenManager(manager, scm, svc::kManagerAllAccess)) return e;
  UniqueScHandle service;
  *installed = OpenService(service, scm, manager.get(), name, svc::kQueryConfig) !=
               err::kServiceDoesNotExist;
  return err::kSuccess;
}

// A deleted service stays in the manager, marked for deletion, while a
// handle to it is open somewhere; only then can it be created anew.
constexpr std::uint32_t kGonePollMs = 250;

bool WaitUntilGone(Platform& p, const char16_t* name, std::uint32_t boundMs) {
  for (std::uint32_t waited = 0;; waited += kGonePollMs) {
    bool installed = true;
    if (ServicePresence(p.scm, name, &installed) == err::kSuccess && !installed) return true;
    if (waited >= boundMs) return false;
    p.system.Sleep(kGonePollMs);
  }
}

// How often a stopping service's status is read, and how long one whose
// wait hint is 0 may go without progress.
constexpr std::uint32_t kStopPollMs = 250;
constexpr std::uint32_t kLeastWaitHintMs = 2000;

// Stops the service (a handle with stop and status access) and waits until
// it has stopped, for as long as its status shows progress (a new state, a
// rising check point, or a wait hint not yet used up) and at most `boundMs`
// in all. `*wasRunning`: whether it ran (or was starting or paused) before.
// 0 once stopped; 1053 when it did not stop in time; else the refusal.
WinError StopAndWait(Platform& p, ScHandle service, std::uint32_t boundMs, bool* wasRunning) {
  ServiceStatus last;
  std::uint32_t waited = 0;
  std::uint32_t sinceProgress = 0;
  bool stopTaken = false;
  for (bool first = true;; first = false) {
    ServiceStatus st;
    if (WinError e = p.scm.QueryStatus(service, &st)) return e;
    if (first) *wasRunning = st.dwCurrentState != svc::kStopped && st.dwCurrentState != svc::kStopPending;
    if (st.dwCurrentState == svc::kStopped) return err::kSuccess;
    if (first || st.dwCurrentState != last.dwCurrentState || st.dwCheckPoint > last.dwCheckPoint)
      sinceProgress = 0;
    last = st;
    if (!stopTaken && st.dwCurrentState != svc::kStopPending) {
      WinError e = p.scm.Control(service, svc::kControlStop, nullptr);
      if (e == err::kSuccess) {
        stopTaken = true;
        sinceProgress = 0;
        continue;  // its stop-pending state next
      }
      // Not now (still starting, pausing, ...) or stopped meanwhile: the
      // status decides; any other refusal ends the wait.
      if (e != err::kServiceCannotAcceptCtrl && e != err::kServiceNotActive) return e;
    }
    const std::uint32_t hint = st.dwWaitHint > kLeastWaitHintMs ? st.dwWaitHint : kLeastWaitHintMs;
    if (waited >= boundMs || sinceProgress >= hint) return err::kServiceRequestTimeout;
    p.system.Sleep(kStopPollMs);
    waited += kStopPollMs;
    sinceProgress += kStopPollMs;
  }
}

}  // namespace

void CServiceHost::ShowMessage(const char16_t* text) {
  if (platform_.ui.WindowStationVisible()) {
    platform_.ui.MessageBox(text, serviceName, ui::kOk);
    return;
  }
  // Nobody could dismiss a box here (a service's, a scheduled task's or an
  // installer's window station): it would wait for ever.
  WriteEvent(evt::kError, text);
  platform_.ui.WriteError(text);
}

bool CServiceHost::IsServiceInstalled() {
  bool installed = false;
  return ServicePresence(platform_.scm, serviceName, &installed) == err::kSuccess && installed;
}

WinError CServiceHost::OpenOwnService(UniqueScHandle& manager, UniqueScHandle& service,
                                      std::uint32_t access) {
  if (WinError e = OpenManager(manager, platform_.scm, svc::kManagerAllAccess)) {
    ShowMessage(u"Couldn't open service manager");
    return e;
  }
  WinError e = OpenService(service, platform_.scm, manager.get(), serviceName, access);
  if (e != err::kSuccess && e != err::kServiceDoesNotExist) {
    manager.reset();
    ShowMessage(u"Couldn't open service");
  }
  return e;
}

WinError CServiceHost::StopService(bool* wasRunning) {
  *wasRunning = false;
  UniqueScHandle manager;
  UniqueScHandle service;
  WinError e = OpenOwnService(manager, service, svc::kStop | svc::kQueryStatus);
  if (e == err::kServiceDoesNotExist) return err::kSuccess;
  if (e == err::kSuccess && (e = StopAndWait(platform_, service.get(), serviceStopBoundMs, wasRunning))) {
    service.reset();
    manager.reset();
    ShowMessage(u"Service could not be stopped");
  }
  return e;
}

WinError CServiceHost::StartService() {
  UniqueScHandle manager;
  UniqueScHandle service;
  WinError e = OpenOwnService(manager, service, svc::kStart);
  if (e != err::kSuccess) return e;
  e = platform_.scm.Start(service.get());
  if (e == err::kSuccess || e == err::kServiceAlreadyRunning) return err::kSuccess;
  service.reset();
  manager.reset();
  ShowMessage(u"Couldn't start service");
  return e;
}

WinError CServiceHost::InstallService() {
  UniqueScHandle manager;
  UniqueScHandle service;
  WinError e = OpenOwnService(manager, service, svc::kChangeConfig);
  if (e != err::kSuccess && e != err::kServiceDoesNotExist) return e;
  // The image path is quoted: an unquoted path with spaces (such as one
  // under "C:\Program Files") would let another program run as LocalSystem.
  constexpr std::uint32_t kPathUnits = 260;
  char16_t path[kPathUnits + 2] = {};
  std::uint32_t length = platform_.system.ModuleFileName(0, path + 1, kPathUnits);
  if (length >= kPathUnits) length = kPathUnits - 1;
  path[0] = u'"';
  path[length + 1] = u'"';
  path[length + 2] = 0;

  ServiceCreateParams params;
  params.serviceName = serviceName;
  params.displayName = displayName;
  params.desiredAccess = svc::kAllAccess;
  params.serviceType = svc::kWin32OwnProcess;
  params.startType = svc::kDemandStart;
  params.errorControl = svc::kErrorNormal;
  params.binaryPathName = path;
  params.dependencies = kDependencies;
  if (e == err::kSuccess) {
    // An earlier service is changed in place: its key, its Parameters (the
    // settings), its start type, account and failure actions stay as the
    // administrator left them.
    params.startType = svc::kNoChange;
    e = platform_.scm.ChangeConfig(service.get(), params);
    if (e == err::kSuccess) return e;
    params.startType = svc::kDemandStart;
    service.reset();
    if (e != err::kServiceMarkedForDelete) {
      manager.reset();
      ShowMessage(u"Couldn't configure service");
      return e;
    }
    // Deleted by someone else and still held open somewhere: it can be
    // made anew once it has gone.
    if (!WaitUntilGone(platform_, serviceName, serviceGoneBoundMs)) {
      manager.reset();
      ShowMessage(u"Couldn't create service");
      return e;
    }
  }
  if ((e = CreateService(service, platform_.scm, manager.get(), params)) != err::kSuccess) {
    manager.reset();
    ShowMessage(u"Couldn't create service");
    return e;
  }
  return err::kSuccess;
}

WinError CServiceHost::UninstallService() {
  UniqueScHandle manager;
  UniqueScHandle service;
  WinError e = OpenOwnService(manager, service, svc::kStop | svc::kQueryStatus | svc::kDelete);
  if (e == err::kServiceDoesNotExist) return err::kSuccess;
  if (e != err::kSuccess) return e;
  // Stopped first: a service that does not stop is not deleted at all.
  bool wasRunning = false;
  if ((e = StopAndWait(platform_, service.get(), serviceStopBoundMs, &wasRunning)) != err::kSuccess) {
    service.reset();
    manager.reset();
    ShowMessage(u"Service could not be stopped");
    return e;
  }
  e = platform_.scm.DeleteService(service.get());
  service.reset();
  manager.reset();
  if (e == err::kSuccess && !WaitUntilGone(platform_, serviceName, serviceGoneBoundMs))
    e = err::kServiceMarkedForDelete;  // held open elsewhere
  if (e != err::kSuccess) {
    ShowMessage(u"Service could not be deleted");
    return e;
  }
  return err::kSuccess;
}

HResult CServiceHost::RegisterProgram(bool registerTypeLib, bool asService) {
  ComApartment apartment;
  HResult hr = CoInitialize(apartment, platform_.com);
  if (com::Failed(hr)) return hr;
  // An earlier service is stopped (for "Service") or removed (for
  // "RegServer") before anything is written: one that does not stop
  // leaves everything as it was.
  const bool earlier = IsServiceInstalled();
  bool wasRunning = false;
  if (WinError e = asService ? StopService(&wasRunning) : UninstallService())
    return HResultFromWin32(e);

  UniqueKey appIds;
  UniqueKey identity;
  HResult result = [&]() -> HResult {
    ApplyRegistryScript(ScriptPorts(platform_), moduleInstance, kRegistryScriptId,
                        ScriptDirection::kRegister);
    // Events are written without it too, only shown plainer: not a failure of the command.
    if (RegisterEventMessageFile(platform_.registry, platform_.system, displayName) != err::kSuccess)
      ShowMessage(u"Couldn't register event source");
    WinError e = Open(appIds, platform_.registry, reg::kClassesRoot, u"AppID", reg::kWrite);
    if (e == err::kSuccess) e = Open(identity, platform_.registry, appIds.get(), kAppIdKey, reg::kWrite);
    if (e != err::kSuccess) return e;  // nothing more is done: no service, no type library
    // Absent (2) on a first registration: nothing to remove.
    (void)platform_.registry.DeleteValue(identity.get(), u"LocalService");
    if (asService) {
      SetString(platform_.registry, identity.get(), u"LocalService", kLocalService);
      SetString(platform_.registry, identity.get(), u"ServiceParameters", kServiceParameters);
    }
    // The service comes last: a failure before it leaves an earlier
    // service unchanged.
    HResult typeLib = RegisterModuleClasses(TypeLibraryPorts(platform_), *this, registerTypeLib, nullptr);
    if (com::Failed(typeLib)) return typeLib;
    if (asService)
      if (WinError installed = InstallService()) return HResultFromWin32(installed);
    return typeLib;
  }();
  if (result != 0 && asService && !earlier) {
    // A first installation that failed takes back what it wrote, so that
    // an installer's rollback leaves nothing of it behind.
    identity.reset();
    appIds.reset();
    ApplyRegistryScript(ScriptPorts(platform_), moduleInstance, kRegistryScriptId,
                        ScriptDirection::kUnregister);
    (void)UnregisterEventMessageFile(platform_.registry, displayName);  // as the rest: best effort
    UnregisterModuleClasses(TypeLibraryPorts(platform_), *this, true, nullptr);
  }
  // A service that ran before runs again, whatever else happened: the
  // guard is never left off.
  if (wasRunning)
    if (WinError e = StartService(); e != err::kSuccess && result == 0) result = HResultFromWin32(e);
  apartment.reset();  // COM is left before the keys are closed
  identity.reset();
  appIds.reset();
  return result;
}

HResult CServiceHost::UnregisterProgram() {
  ComApartment apartment;
  HResult hr = CoInitialize(apartment, platform_.com);
  if (com::Failed(hr)) return hr;
  // The service goes first: while it is still there, so is everything it
  // needs to start (the identity's "LocalService" above all).
  if (WinError e = UninstallService()) return HResultFromWin32(e);
  ApplyRegistryScript(ScriptPorts(platform_), moduleInstance, kRegistryScriptId,
                      ScriptDirection::kUnregister);
  if (UnregisterEventMessageFile(platform_.registry, displayName) != err::kSuccess)
    ShowMessage(u"Couldn't remove event source");
  UnregisterModuleClasses(TypeLibraryPorts(platform_), *this, true, nullptr);
  return 0;
}

}  // namespace talv
