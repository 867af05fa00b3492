#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/win32/win32_com.h"
#include "platform/win32/win32_eventlog.h"
#include "platform/win32/win32_libraries.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_resources.h"
#include "platform/win32/win32_scm.h"
#include "platform/win32/win32_security.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_typelib.h"
#include "platform/win32/win32_windowing.h"
#include "tests/contract/contract_env.h"

namespace talv::contract {

namespace {

// The fake service reads its behaviour in the 64-bit registry view whatever
// its build (KEY_WOW64_64KEY), so a 32-bit test program writes it there too.
constexpr std::uint32_t kDoublesView = 0x0100;

// The test programs live in <build>/tests, the doubles in <build>/doubles.
std::u16string DoublesDir() {
  // The C runtime's copy of the program's path (the module file name).
  const char* exe = _pgmptr;
  if (!exe) return u"";
  std::string path(exe);
  auto cut = path.find_last_of("\\/");
  path = cut == std::string::npos ? std::string(".") : path.substr(0, cut);
  path += "\\..\\doubles";
  return std::u16string(path.begin(), path.end());
}

class Win32Env final : public Env {
 public:
  Registry& registry() override { return registry_; }
  long OpenRegistryKeys() override { return -1; }
  const char* name() const override { return "win32"; }

  ServiceManager& scm() override { return scm_; }
  EventLog& eventLog() override { return eventLog_; }
  Console& console() override { return console_; }
  long OpenScHandles() override { return -1; }
  long OpenEventSources() override { return -1; }

  WinError InstallTestService(const std::u16string& name, const sim::ServiceBehaviour& b) override {
    RemoveTestService(name);
    if (WinError e = WriteBehaviour(name, b)) return e;
    UniqueScHandle manager;
    if (WinError e = OpenManager(manager, scm_, svc::kManagerAllAccess)) return e;
    // The fake service learns its name from the command line as well.
    std::u16string image(1, u'"');
    image.append(ServiceImagePath()).append(u"\" ").append(name);
    ServiceCreateParams p;
    p.serviceName = name.c_str();
    p.displayName = name.c_str();
    p.binaryPathName = image.c_str();
    UniqueScHandle service;
    if (WinError e = CreateService(service, scm_, manager.get(), p)) return e;
    if (WinError e = scm_.Start(service.get())) return e;
    // Wine starts a service process slowly; allow it half a minute.
    for (int i = 0; i < 600; ++i) {
      ServiceStatus st;
      if (WinError e = scm_.QueryStatus(service.get(), &st)) return e;
      if (st.dwCurrentState == b.state) return err::kSuccess;
      if (st.dwCurrentState == svc::kStopped && i > 0) return err::kServiceNoThread;
      Pause(50);
    }
    return err::kServiceRequestTimeout;
  }

  void RemoveTestService(const std::u16string& name) override {
    UniqueScHandle manager, service;
    if (OpenManager(manager, scm_, svc::kManagerAllAccess) == err::kSuccess &&
        OpenService(service, scm_, manager.get(), name.c_str(), svc::kAllAccess) == err::kSuccess) {
      ServiceStatus st;
      if (scm_.QueryStatus(service.get(), &st) == err::kSuccess &&
          st.dwCurrentState != svc::kStopped) {
        if (scm_.Control(service.get(), svc::kControlStop, &st) != err::kSuccess)
          scm_.Control(service.get(), sim::kControlEndAnyway, &st);
        for (int i = 0; i < 300; ++i) {
          if (scm_.QueryStatus(service.get(), &st) != err::kSuccess ||
              st.dwCurrentState == svc::kStopped)
            break;
          Pause(50);
        }
      }
      scm_.DeleteService(service.get());
    }
    service.reset();
    manager.reset();
    DeleteKeyTree(registry_, reg::kLocalMachine, (sim::kBehaviourKeys + name).c_str());
  }

  std::u16string ServiceImagePath() override { return DoublesDir() + u"\\fake_service.exe"; }
  void Pause(std::uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  Windowing& windowing() override { return windowing_; }
  System& system() override { return system_; }
  Libraries& libraries() override { return libraries_; }
  long LiveWindows() override { return -1; }
  long LiveTimers() override { return -1; }
  long LoadedLibraryReferences() override { return -1; }
  const char16_t* KnownLibrary() const override { return u"kernel32.dll"; }
  const char* KnownExport() const override { return "GetTickCount"; }

  Com& com() override { return com_; }
  Security& security() override { return security_; }
  long OpenTokens() override { return -1; }

  ModuleResources& resources() override { return resources_; }
  long LoadedDataModules() override { return -1; }
  // This program, which carries contract_resources.rc.
  std::u16string ResourceModulePath() override {
    char16_t path[260] = {};
    std::uint32_t n = system_.ModuleFileName(0, path, 260);
    return std::u16string(path, n < 260 ? n : 0);
  }
  std::u16string PlainFilePath() override { return u"C:\\windows\\win.ini"; }

  TypeLibraries& typeLibraries() override { return typeLibraries_; }
  long LoadedTypeLibraries() override { return -1; }
  // Compiled from contract_typelib.idl beside this program.
  std::u16string ContractTypeLibraryPath() override {
    std::u16string path = ResourceModulePath();
    auto cut = path.find_last_of(u"\\/");
    return (cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1)) +
           u"contract_typelib.tlb";
  }

 private:
  WinError WriteBehaviour(const std::u16string& name, const sim::ServiceBehaviour& b) {
    UniqueKey key;
    std::u16string path = sim::kBehaviourKeys + name;
    if (WinError e = Create(key, registry_, reg::kLocalMachine, path.c_str(), reg::kAllAccess | kDoublesView))
      return e;
    std::uint32_t accept = b.acceptStop ? 1 : 0;
    std::u16string state = sim::StateName(b.state);
    WinError e = registry_.SetValue(key.get(), sim::kStopDelayValue, reg::kDword, &b.stopDelayMs, 4);
    if (!e) e = registry_.SetValue(key.get(), sim::kWaitHintValue, reg::kDword, &b.waitHint, 4);
    if (!e) e = registry_.SetValue(key.get(), sim::kAcceptStopValue, reg::kDword, &accept, 4);
    if (!e)
      e = registry_.SetValue(key.get(), sim::kStateValue, reg::kSz, state.c_str(),
                             static_cast<std::uint32_t>((state.size() + 1) * 2));
    return e;
  }

  win32::Win32Registry registry_;
  win32::Win32ServiceManager scm_;
  win32::Win32EventLog eventLog_;
  win32::Win32Console console_;
  win32::Win32Windowing windowing_;
  win32::Win32System system_;
  win32::Win32Libraries libraries_;
  win32::Win32Com com_;
  win32::Win32Security security_;
  win32::Win32Resources resources_;
  win32::Win32TypeLibraries typeLibraries_;
};
}  // namespace

Env& CurrentEnv() {
  static Win32Env env;
  return env;
}

}  // namespace talv::contract
