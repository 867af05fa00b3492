// The dynamic-library port: LoadLibraryW, GetProcAddress, FreeLibrary.
#pragma once

#include <cstdint>

#include "platform/owner.h"
#include "platform/types.h"

namespace talv {

using ModuleHandle = Handle;     // HMODULE; 0 is none
using ProcAddress = void (*)();  // an export, cast by the caller to its real type

class Libraries {
 public:
  virtual ~Libraries() = default;
  // LoadLibraryW(name); *out only on success, error (126, ...) otherwise.
  [[nodiscard]] virtual WinError Load(const char16_t* name, ModuleHandle* out) = 0;
  // GetProcAddress by 8-bit name; null when the module lacks it (127).
  virtual ProcAddress GetProc(ModuleHandle module, const char* name) = 0;
  // FreeLibrary.
  virtual WinError Free(ModuleHandle module) = 0;
};

// A loaded library, freed on every path out of a scope.
using UniqueLibrary = Owner<ClosedBy<&Libraries::Free>>;

// Loads `name` into `lib`; keeps the old library on failure.
[[nodiscard]] inline WinError Load(UniqueLibrary& lib, Libraries& libs, const char16_t* name) {
  return OpenInto(lib, libs, [&](ModuleHandle* out) { return libs.Load(name, out); });
}

}  // namespace talv
