// The module-resources port: a module file loaded as data (its resources
// only, no code run), a resource found by type text and 16-bit identifier
// and handed out as bytes, and the module freed again. Results are Win32
// error numbers.
#pragma once

#include <cstdint>

#include "platform/library.h"
#include "platform/owner.h"
#include "platform/types.h"

namespace talv {

class ModuleResources {
 public:
  virtual ~ModuleResources() = default;
  // GetModuleHandleW(null): the process's own executable module.
  virtual ModuleHandle ProcessModule() = 0;
  // LoadLibraryExW(path, no file, LOAD_LIBRARY_AS_DATAFILE); *out is the
  // module on success and 0 on failure (with the error, which may be 0).
  [[nodiscard]] virtual WinError LoadAsData(const char16_t* path, ModuleHandle* out) = 0;
  // FindResourceW(module, id, type), LoadResource, SizeofResource and
  // LockResource: *data and *size describe the resource's bytes, valid
  // until the module is freed; on failure *data is null and *size 0.
  [[nodiscard]] virtual WinError FindResource(ModuleHandle module, const char16_t* type, std::uint16_t id,
                                const void** data, std::uint32_t* size) = 0;
  // FreeLibrary for a module that LoadAsData returned.
  virtual WinError Free(ModuleHandle module) = 0;
};

// A module loaded as data, freed on every path out of a scope.
using UniqueDataModule = Owner<ClosedBy<&ModuleResources::Free>>;

// Loads `path` as data into `module`; keeps the old module on failure.
// LoadAsData may hand out a module together with an error (which may be
// 0), so any module it gives is owned, whatever the result.
[[nodiscard]] inline WinError Load(UniqueDataModule& module, ModuleResources& resources, const char16_t* path) {
  ModuleHandle h = 0;
  WinError r = resources.LoadAsData(path, &h);
  if (h != 0) module.adopt(resources, h);
  return r;
}

}  // namespace talv
