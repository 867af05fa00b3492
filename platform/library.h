// The dynamic-library port: LoadLibraryW, GetProcAddress, FreeLibrary.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/types.h"

namespace talv {

using ModuleHandle = Handle;     // HMODULE; 0 is none
using ProcAddress = void (*)();  // an export, cast by the caller to its real type

class Libraries {
 public:
  virtual ~Libraries() = default;
  // LoadLibraryW(name); *out only on success, error (126, ...) otherwise.
  virtual WinError Load(const char16_t* name, ModuleHandle* out) = 0;
  // GetProcAddress by 8-bit name; null when the module lacks it (127).
  virtual ProcAddress GetProc(ModuleHandle module, const char* name) = 0;
  // FreeLibrary.
  virtual WinError Free(ModuleHandle module) = 0;
};

// Move-only owner of a loaded library.
class UniqueLibrary {
 public:
  UniqueLibrary() = default;
  UniqueLibrary(const UniqueLibrary&) = delete;
  UniqueLibrary& operator=(const UniqueLibrary&) = delete;
  UniqueLibrary(UniqueLibrary&& o) noexcept : libs_(o.libs_), h_(std::exchange(o.h_, 0)) {}
  ~UniqueLibrary() { Reset(); }
  ModuleHandle get() const { return h_; }
  explicit operator bool() const { return h_ != 0; }
  void Reset() {
    if (h_ != 0 && libs_ != nullptr) libs_->Free(h_);
    h_ = 0;
  }
  WinError Load(Libraries& libs, const char16_t* name) {
    ModuleHandle h = 0;
    WinError r = libs.Load(name, &h);
    if (r == err::kSuccess) {
      Reset();
      libs_ = &libs;
      h_ = h;
    }
    return r;
  }

 private:
  Libraries* libs_ = nullptr;
  ModuleHandle h_ = 0;
};

}  // namespace talv
