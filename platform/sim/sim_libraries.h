// The simulated dynamic libraries: libraries that tests define by name with
// their exports, loaded and freed with reference counts, and a record of
// every load asked for.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/library.h"
#include "platform/sim/faults.h"

namespace talv::sim {

class SimSystem;

class SimLibraries final : public Libraries {
 public:
  enum class Op { Load, GetProc, Free };

  // With a system, failures set its last error as the platform does.
  explicit SimLibraries(SimSystem* system = nullptr);
  ~SimLibraries() override;

  WinError Load(const char16_t* name, ModuleHandle* out) override;
  ProcAddress GetProc(ModuleHandle module, const char* name) override;
  WinError Free(ModuleHandle module) override;

  // --- test side -------------------------------------------------------
  FaultPlan<Op>& faults() { return faults_; }
  // Defines (or redefines the exports of) a library. Names compare without
  // regard to case, by their file-name part, with ".dll" understood when
  // no extension is given; a path loads the library of its file name.
  void DefineLibrary(const std::u16string& name, std::map<std::string, ProcAddress> exports = {});
  void DefineExport(const std::u16string& library, const std::string& name, ProcAddress address);
  void RemoveExport(const std::u16string& library, const std::string& name);
  // Later loads of the library fail with 126; loaded references stay valid.
  void RemoveLibrary(const std::u16string& name);
  // References held right now, over all libraries and for one.
  std::size_t LoadedReferenceCount() const;
  std::size_t ReferenceCount(const std::u16string& name) const;
  // Every Load call's name as given, failed ones included, and how many of
  // them named a library.
  std::vector<std::u16string> LoadCalls() const;
  std::size_t LoadCallCount(const std::u16string& name) const;
  // The handle a defined library loads as (0 when undefined).
  ModuleHandle HandleOf(const std::u16string& name) const;

 private:
  struct Library {
    ModuleHandle handle = 0;
    bool defined = true;
    std::size_t references = 0;
    std::map<std::string, ProcAddress> exports;
  };

  static std::u16string Key(std::u16string_view name);
  Library* ByHandleLocked(ModuleHandle module);
  void Fail(WinError error);

  SimSystem* system_;
  mutable std::mutex mutex_;
  std::map<std::u16string, Library> libraries_;  // by Key
  std::vector<std::u16string> loadCalls_;
  ModuleHandle nextHandle_ = 0x10000000;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
