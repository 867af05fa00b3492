// The simulated module resources: tests register module files by path with
// their resources (type text, 16-bit id, bytes); loading one as data hands
// out a fresh module handle, and the simulator counts the modules loaded.
// Errors follow Wine: 2 for a missing file, 193 for a file that is not a
// module, 87 for an empty path, 1813/1814 for a missing type/identifier.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/resources.h"
#include "platform/sim/faults.h"

namespace talv::sim {

class SimResources final : public ModuleResources {
 public:
  enum class Op { Load, Find, Free };

  ModuleHandle ProcessModule() override;
  WinError LoadAsData(const char16_t* path, ModuleHandle* out) override;
  WinError FindResource(ModuleHandle module, const char16_t* type, std::uint16_t id,
                        const void** data, std::uint32_t* size) override;
  WinError Free(ModuleHandle module) override;

  // --- test side -------------------------------------------------------
  FaultPlan<Op>& faults() { return faults_; }
  // A module file at `path` (compared without regard to case), no resources yet.
  void AddModule(std::u16string_view path);
  // A resource of the module at `path` (the module is added if missing).
  void AddResource(std::u16string_view path, std::u16string_view type, std::uint16_t id,
                   const void* bytes, std::size_t size);
  void AddResource(std::u16string_view path, std::u16string_view type, std::uint16_t id,
                   std::string_view bytes) {
    AddResource(path, type, id, bytes.data(), bytes.size());
  }
  // A file at `path` that exists but is not a module.
  void AddPlainFile(std::u16string_view path);
  // What ProcessModule answers (0x140000000 until set).
  void SetProcessModule(ModuleHandle module);
  // Modules loaded as data and not yet freed.
  std::size_t LoadedCount() const;
  // Successful loads so far, and the path of the last one.
  std::size_t LoadCalls() const;
  std::u16string LastLoadedPath() const;

 private:
  struct Resource {
    std::u16string foldedType;
    std::uint16_t id = 0;
    std::vector<std::uint8_t> bytes;
  };
  struct File {
    bool isModule = false;
    std::vector<Resource> resources;
  };

  mutable std::mutex mutex_;
  std::map<std::u16string, File> files_;            // by folded path
  std::map<ModuleHandle, std::u16string> loaded_;   // handle -> folded path
  ModuleHandle nextHandle_ = 0x10000001;            // data-file handles have the low bit set
  ModuleHandle processModule_ = 0x140000000ull;  // the usual x64 image base, as under Wine
  std::size_t loadCalls_ = 0;
  std::u16string lastLoaded_;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
