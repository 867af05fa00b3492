#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_com.h"
#include "platform/sim/sim_eventlog.h"
#include "platform/sim/sim_libraries.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_resources.h"
#include "platform/sim/sim_scm.h"
#include "platform/sim/sim_security.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_typelib.h"
#include "platform/sim/sim_windowing.h"
#include "tests/contract/contract_env.h"
#include "tests/contract/contract_resources.h"
#include "tests/contract/contract_typelib.h"

namespace talv::contract {

namespace {
// The export the simulated kernel32.dll offers.
void SimGetTickCount() {}

class SimEnv final : public Env {
 public:
  SimEnv() {
    libraries_.DefineLibrary(u"kernel32.dll",
                             {{"GetTickCount", reinterpret_cast<ProcAddress>(&SimGetTickCount)}});
    for (const ContractResource& r : kContractResources)
      resources_.AddResource(kResourceModule, r.type, r.id, r.bytes);
    resources_.AddPlainFile(kPlainFile);
    sim::SimTypeLibraries::Declaration lib;
    lib.attributes.libid = kContractLibId;
    lib.attributes.lcid = kContractLibLcid;
    lib.attributes.syskind = kContractLibSysKind;
    lib.attributes.majorVersion = kContractLibMajor;
    lib.attributes.minorVersion = kContractLibMinor;
    lib.attributes.flags = kContractLibFlags;
    lib.name = kContractLibName;
    lib.helpString = kContractLibHelp;
    typeLibraries_.AddTypeLibraryFile(kTypeLibraryFile, lib);
  }

  Registry& registry() override { return registry_; }
  long OpenRegistryKeys() override { return static_cast<long>(registry_.OpenKeyCount()); }
  const char* name() const override { return "simulator"; }

  ServiceManager& scm() override { return scm_; }
  EventLog& eventLog() override { return eventLog_; }
  Console& console() override { return console_; }
  long OpenScHandles() override { return static_cast<long>(scm_.OpenHandleCount()); }
  long OpenEventSources() override { return static_cast<long>(eventLog_.OpenSourceCount()); }
  WinError InstallTestService(const std::u16string& name, const sim::ServiceBehaviour& b) override {
    scm_.InstallService(name, b);
    return err::kSuccess;
  }
  void RemoveTestService(const std::u16string& name) override { scm_.RemoveService(name); }
  std::u16string ServiceImagePath() override { return u"C:\\talv\\fake_service.exe"; }
  void Pause(std::uint32_t ms) override { clock_.Advance(ms); }

  Windowing& windowing() override { return windowing_; }
  System& system() override { return system_; }
  Libraries& libraries() override { return libraries_; }
  long LiveWindows() override { return static_cast<long>(windowing_.WindowCount()); }
  long LiveTimers() override { return static_cast<long>(windowing_.TimerCount()); }
  long LoadedLibraryReferences() override {
    return static_cast<long>(libraries_.LoadedReferenceCount());
  }
  const char16_t* KnownLibrary() const override { return u"kernel32.dll"; }
  const char* KnownExport() const override { return "GetTickCount"; }

  Com& com() override { return com_; }
  Security& security() override { return security_; }
  long OpenTokens() override { return static_cast<long>(security_.OpenTokenCount()); }

  ModuleResources& resources() override { return resources_; }
  long LoadedDataModules() override { return static_cast<long>(resources_.LoadedCount()); }
  std::u16string ResourceModulePath() override { return kResourceModule; }
  std::u16string PlainFilePath() override { return kPlainFile; }

  TypeLibraries& typeLibraries() override { return typeLibraries_; }
  long LoadedTypeLibraries() override {
    return static_cast<long>(typeLibraries_.OpenLibraryCount());
  }
  std::u16string ContractTypeLibraryPath() override { return kTypeLibraryFile; }

 private:
  sim::SimRegistry registry_;
  sim::SimClock clock_;
  sim::SimServiceManager scm_{clock_};
  sim::SimEventLog eventLog_;
  sim::SimConsole console_;
  sim::SimWindowing windowing_{clock_};
  sim::SimSystem system_{clock_};
  sim::SimLibraries libraries_{&system_};
  sim::SimCom com_;
  sim::SimSecurity security_;
  // The contract program as the simulated loader knows it.
  static constexpr char16_t kResourceModule[] = u"C:\\talv\\tests\\talv_contract.exe";
  static constexpr char16_t kPlainFile[] = u"C:\\windows\\win.ini";
  sim::SimResources resources_;
  static constexpr char16_t kTypeLibraryFile[] = u"C:\\talv\\tests\\contract_typelib.tlb";
  // Registrations go into this environment's registry.
  sim::SimTypeLibraries typeLibraries_{registry_, &libraries_};
};
}  // namespace

Env& CurrentEnv() {
  static SimEnv env;
  return env;
}

}  // namespace talv::contract
