// What a contract suite runs against: the simulator on the host, the real
// adapters under Wine. Suites use only the ports, never a simulator's extras.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/resources.h"
#include "platform/sim/service_behaviour.h"
#include "platform/typelib.h"
#include "registration/registry_script.h"  // DeleteKeyTree clears what a suite leaves

namespace talv::contract {

class Env {
 public:
  virtual ~Env() = default;
  virtual Registry& registry() = 0;
  // Open registry keys right now, or -1 where the platform cannot tell.
  virtual long OpenRegistryKeys() = 0;
  virtual const char* name() const = 0;

  virtual ServiceManager& scm() = 0;
  virtual EventLog& eventLog() = 0;
  virtual Console& console() = 0;
  // Open SCM handles / event sources right now, or -1 where the platform
  // cannot tell.
  virtual long OpenScHandles() = 0;
  virtual long OpenEventSources() = 0;
  // Installs a service under `name` with the behaviour, starts it and waits
  // until it has settled in the behaviour's state; 0 or the failing error.
  // The simulator makes it directly, Wine through the fake service, so a
  // suite leaves the simulator's own fields (stopPendingQueries, refuseStop)
  // alone.
  virtual WinError InstallTestService(const std::u16string& name,
                                      const sim::ServiceBehaviour& behaviour) = 0;
  // Ends and removes a service that InstallTestService made.
  virtual void RemoveTestService(const std::u16string& name) = 0;
  // An existing program a service created by a test can point at.
  virtual std::u16string ServiceImagePath() = 0;
  // Lets `ms` pass: virtual time in the simulator, real time under Wine.
  virtual void Pause(std::uint32_t ms) = 0;

  virtual Windowing& windowing() = 0;
  virtual System& system() = 0;
  virtual Libraries& libraries() = 0;
  // Live windows and timers made through the windowing port, and library
  // references held through the library port, or -1 where the platform
  // cannot tell.
  virtual long LiveWindows() = 0;
  virtual long LiveTimers() = 0;
  virtual long LoadedLibraryReferences() = 0;
  // A library that exists in this environment, and one of its exports.
  virtual const char16_t* KnownLibrary() const = 0;
  virtual const char* KnownExport() const = 0;

  virtual Com& com() = 0;
  virtual Security& security() = 0;
  // Tokens open through the security port right now, or -1 where the
  // platform cannot tell.
  virtual long OpenTokens() = 0;

  virtual ModuleResources& resources() = 0;
  // Modules loaded as data through the resources port and not yet freed,
  // or -1 where the platform cannot tell.
  virtual long LoadedDataModules() = 0;
  // A module that carries the resources of contract_resources.h, and an
  // existing file that is not a module.
  virtual std::u16string ResourceModulePath() = 0;
  virtual std::u16string PlainFilePath() = 0;

  virtual TypeLibraries& typeLibraries() = 0;
  // References to type libraries loaded through the port and not yet
  // released, or -1 where the platform cannot tell.
  virtual long LoadedTypeLibraries() = 0;
  // The type-library file of contract_typelib.h.
  virtual std::u16string ContractTypeLibraryPath() = 0;
};

// The environment of this build (defined by env_sim.cpp or env_win32.cpp).
Env& CurrentEnv();

// Runs `body` on a thread of its own, which starts outside any COM apartment.
inline void OnFreshThread(const std::function<void()>& body) {
  std::thread t(body);
  t.join();
}

// A fresh scratch key under HKCU for one test; removed with everything
// below it when the test ends.
class ScratchKey {
 public:
  explicit ScratchKey(const std::u16string& name);
  ~ScratchKey();
  RegKey key() const { return key_.get(); }
  const std::u16string& path() const { return path_; }

 private:
  std::u16string path_;
  UniqueKey key_;
};

}  // namespace talv::contract
