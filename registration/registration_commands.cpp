// The registration commands of the service host: "RegServer", "Service"
// and "UnregServer" write or remove the program's application identity,
// install or delete the TALVMON service and register or unregister the type
// library. Failures to reach the Service Control Manager are shown in
// message boxes; nothing goes to the event log in these runs.
#include <string>
#include <vector>

#include "monitor/settings.h"
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

// Whether the service can be opened, told apart from a manager that cannot
// be opened at all (no administrator rights): that is not "nothing installed".
enum class Presence { kInstalled, kAbsent, kNoManager };

Presence ServicePresence(ServiceManager& scm, const char16_t* name) {
  UniqueScHandle manager;
  if (OpenManager(manager, scm, svc::kManagerAllAccess) != err::kSuccess) return Presence::kNoManager;
  UniqueScHandle service;
  return OpenService(service, scm, manager.get(), name, svc::kQueryConfig) == err::kSuccess
             ? Presence::kInstalled
             : Presence::kAbsent;
}

// A deleted service that still runs stays in the manager, marked for
// deletion, until its process has ended; only then can it be created anew.
constexpr std::uint32_t kGonePollMs = 250;
constexpr std::uint32_t kGonePolls = 120;  // 30 seconds

bool WaitUntilGone(Platform& p, const char16_t* name) {
  for (std::uint32_t poll = 0;; ++poll) {
    if (ServicePresence(p.scm, name) != Presence::kInstalled) return true;
    if (poll == kGonePolls) return false;
    p.system.Sleep(kGonePollMs);
  }
}

// The administrator's settings live below the service's own key, which
// goes with the service: they are read before a reinstall deletes it and
// written back, unchanged, once the new service exists.
struct SavedValue {
  std::u16string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

std::vector<SavedValue> ReadSettingsValues(Registry& registry) {
  std::vector<SavedValue> out;
  UniqueKey key;
  if (Open(key, registry, reg::kLocalMachine, kSettingsKey, reg::kRead) != err::kSuccess) return out;
  constexpr std::uint32_t kNameRoom = 16384;  // the longest value name and its terminator
  std::vector<char16_t> name(kNameRoom);
  std::vector<std::uint8_t> data(256);
  for (std::uint32_t index = 0;;) {
    std::uint32_t nameLength = kNameRoom;
    std::uint32_t type = 0;
    std::uint32_t size = static_cast<std::uint32_t>(data.size());
    WinError e = registry.EnumValue(key.get(), index, name.data(), &nameLength, &type, data.data(), &size);
    if (e == err::kMoreData && size > data.size()) {
      data.resize(size);
      continue;  // the same index again, with room for its data
    }
    if (e != err::kSuccess) break;
    out.push_back(SavedValue{std::u16string(name.data(), nameLength), type,
                             std::vector<std::uint8_t>(data.begin(), data.begin() + size)});
    ++index;
  }
  return out;
}

void WriteSettingsValues(Registry& registry, const std::vector<SavedValue>& values) {
  if (values.empty()) return;
  UniqueKey key;
  if (Create(key, registry, reg::kLocalMachine, kSettingsKey, reg::kWrite) != err::kSuccess) return;
  // Settings are put back as far as they go: one that fails does not stop the rest.
  for (const SavedValue& v : values)
    (void)registry.SetValue(key.get(), v.name.c_str(), v.type, v.data.data(),
                      static_cast<std::uint32_t>(v.data.size()));
}

}  // namespace

void CServiceHost::ShowMessage(const char16_t* text) {
  platform_.ui.MessageBox(text, serviceName, ui::kOk);
}

bool CServiceHost::IsServiceInstalled() {
  return ServicePresence(platform_.scm, serviceName) == Presence::kInstalled;
}

bool CServiceHost::InstallService() {
  Presence presence = ServicePresence(platform_.scm, serviceName);
  if (presence == Presence::kInstalled) return true;
  if (presence == Presence::kNoManager) {
    ShowMessage(u"Couldn't open service manager");
    return false;
  }
  UniqueScHandle manager;
  if (OpenManager(manager, platform_.scm, svc::kManagerAllAccess) != err::kSuccess) {
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
  if (CreateService(service, platform_.scm, manager.get(), params) != err::kSuccess) {
    manager.reset();
    ShowMessage(u"Couldn't create service");
    return false;
  }
  return true;
}

bool CServiceHost::UninstallService() {
  Presence presence = ServicePresence(platform_.scm, serviceName);
  if (presence == Presence::kAbsent) return true;
  UniqueScHandle manager;
  if (OpenManager(manager, platform_.scm, svc::kManagerAllAccess) != err::kSuccess) {
    ShowMessage(u"Couldn't open service manager");
    return false;
  }
  UniqueScHandle service;
  if (OpenService(service, platform_.scm, manager.get(), serviceName, svc::kStop | svc::kDelete) !=
      err::kSuccess) {
    manager.reset();
    ShowMessage(u"Couldn't open service");
    return false;
  }
  ServiceStatus ignored;
  // A service that is not running answers with an error: it is deleted all the same.
  (void)platform_.scm.Control(service.get(), svc::kControlStop, &ignored);
  bool deleted = platform_.scm.DeleteService(service.get()) == err::kSuccess;
  service.reset();
  manager.reset();
  if (!deleted) {
    ShowMessage(u"Service could not be deleted");
    return false;
  }
  return true;
}

HResult CServiceHost::RegisterProgram(bool registerTypeLib, bool asService) {
  ComApartment apartment;
  HResult hr = CoInitialize(apartment, platform_.com);
  if (com::Failed(hr)) return hr;
  std::vector<SavedValue> settings;
  if (asService) settings = ReadSettingsValues(platform_.registry);
  const bool removed = UninstallService();
  ApplyRegistryScript(ScriptPorts(platform_), moduleInstance, kRegistryScriptId,
                      ScriptDirection::kRegister);
  // Events are written without it too, only shown plainer: not a failure of the command.
  if (RegisterEventMessageFile(platform_.registry, platform_.system, displayName) != err::kSuccess)
    ShowMessage(u"Couldn't register event source");

  HResult result = 0;
  UniqueKey appIds;
  UniqueKey identity;
  {
    WinError e = Open(appIds, platform_.registry, reg::kClassesRoot, u"AppID", reg::kWrite);
    if (e == err::kSuccess) e = Open(identity, platform_.registry, appIds.get(), kAppIdKey, reg::kWrite);
    if (e != err::kSuccess) {
      // Nothing more is done: no service, no type library.
      identity.reset();
      appIds.reset();
      return e;
    }
    // Absent (2) on a first registration: nothing to remove.
    (void)platform_.registry.DeleteValue(identity.get(), u"LocalService");
    if (asService) {
      SetString(platform_.registry, identity.get(), u"LocalService", kLocalService);
      SetString(platform_.registry, identity.get(), u"ServiceParameters", kServiceParameters);
      // A running service was only marked for deletion: the new one can be
      // created once the old one's process has ended.
      if (removed && !WaitUntilGone(platform_, serviceName))
        ShowMessage(u"Couldn't create service");
      else if (InstallService())
        WriteSettingsValues(platform_.registry, settings);
    }
    result = RegisterModuleClasses(TypeLibraryPorts(platform_), *this, registerTypeLib, nullptr);
  }
  apartment.reset();  // COM is left before the keys are closed
  identity.reset();
  appIds.reset();
  return result;
}

HResult CServiceHost::UnregisterProgram() {
  ComApartment apartment;
  HResult hr = CoInitialize(apartment, platform_.com);
  if (com::Failed(hr)) return hr;
  ApplyRegistryScript(ScriptPorts(platform_), moduleInstance, kRegistryScriptId,
                      ScriptDirection::kUnregister);
  if (UnregisterEventMessageFile(platform_.registry, displayName) != err::kSuccess)
    ShowMessage(u"Couldn't remove event source");
  UninstallService();
  UnregisterModuleClasses(TypeLibraryPorts(platform_), *this, true, nullptr);
  return 0;
}

}  // namespace talv
