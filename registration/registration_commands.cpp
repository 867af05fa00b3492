// The registration commands of the service host: "RegServer", "Service"
// and "UnregServer" write or remove the program's application identity,
// install or delete the TALVMON service and register or unregister the type
// library. Failures to reach the Service Control Manager are shown in
// message boxes; nothing goes to the event log in these runs.
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

RegistryScriptPorts ScriptPorts(Platform& p) { return RegistryScriptPorts{p.registry, p.system, p.resources}; }

}  // namespace

void CServiceHost::ShowMessage(const char16_t* text) {
  platform_.ui.MessageBox(text, serviceName, ui::kOk);
}

bool CServiceHost::IsServiceInstalled() {
  UniqueScHandle manager;
  if (manager.OpenManager(platform_.scm, svc::kManagerAllAccess) != err::kSuccess) return false;
  UniqueScHandle service;
  return service.OpenService(platform_.scm, manager.get(), serviceName, svc::kQueryConfig) ==
         err::kSuccess;
}

bool CServiceHost::InstallService() {
  if (IsServiceInstalled()) return true;
  UniqueScHandle manager;
  if (manager.OpenManager(platform_.scm, svc::kManagerAllAccess) != err::kSuccess) {
    ShowMessage(u"Couldn't open service manager");
    return false;
  }
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
  UniqueScHandle service;
  if (service.CreateService(platform_.scm, manager.get(), params) != err::kSuccess) {
    manager.Reset();
    ShowMessage(u"Couldn't create service");
    return false;
  }
  return true;
}

bool CServiceHost::UninstallService() {
  if (!IsServiceInstalled()) return true;
  UniqueScHandle manager;
  if (manager.OpenManager(platform_.scm, svc::kManagerAllAccess) != err::kSuccess) {
    ShowMessage(u"Couldn't open service manager");
    return false;
  }
  UniqueScHandle service;
  if (service.OpenService(platform_.scm, manager.get(), serviceName, svc::kStop | svc::kDelete) !=
      err::kSuccess) {
    manager.Reset();
    ShowMessage(u"Couldn't open service");
    return false;
  }
  ServiceStatus ignored;
  platform_.scm.Control(service.get(), svc::kControlStop, &ignored);
  bool deleted = platform_.scm.DeleteService(service.get()) == err::kSuccess;
  service.Reset();
  manager.Reset();
  if (!deleted) {
    ShowMessage(u"Service could not be deleted");
    return false;
  }
  return true;
}

HResult CServiceHost::RegisterProgram(bool registerTypeLib, bool asService) {
  HResult hr = platform_.com.CoInitialize();
  if (com::Failed(hr)) return hr;
  UninstallService();
  ApplyRegistryScript(ScriptPorts(platform_), moduleInstance, kRegistryScriptId,
                      ScriptDirection::kRegister);

  HResult result = 0;
  UniqueKey appIds;
  UniqueKey identity;
  {
    WinError e = appIds.Open(platform_.registry, reg::kClassesRoot, u"AppID", reg::kWrite);
    if (e == err::kSuccess) e = identity.Open(platform_.registry, appIds.get(), kAppIdKey, reg::kWrite);
    if (e != err::kSuccess) {
      // Nothing more is done: no service, no type library.
      identity.Reset();
      appIds.Reset();
      platform_.com.CoUninitialize();
      return e;
    }
    platform_.registry.DeleteValue(identity.get(), u"LocalService");
    if (asService) {
      SetString(platform_.registry, identity.get(), u"LocalService", kLocalService);
      SetString(platform_.registry, identity.get(), u"ServiceParameters", kServiceParameters);
      InstallService();
    }
    result = RegisterModuleClasses(TypeLibraryPorts(platform_), *this, registerTypeLib, nullptr);
  }
  platform_.com.CoUninitialize();
  identity.Reset();
  appIds.Reset();
  return result;
}

HResult CServiceHost::UnregisterProgram() {
  HResult hr = platform_.com.CoInitialize();
  if (com::Failed(hr)) return hr;
  ApplyRegistryScript(ScriptPorts(platform_), moduleInstance, kRegistryScriptId,
                      ScriptDirection::kUnregister);
  UninstallService();
  UnregisterModuleClasses(TypeLibraryPorts(platform_), *this, true, nullptr);
  platform_.com.CoUninitialize();
  return 0;
}

}  // namespace talv
