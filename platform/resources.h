// The module-resources port: a module file loaded as data (its resources
// only, no code run), a resource found by type text and 16-bit identifier
// and handed out as bytes, and the module freed again. Results are Win32
// error numbers.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/library.h"
#include "platform/types.h"

namespace talv {

class ModuleResources {
 public:
  virtual ~ModuleResources() = default;
  // GetModuleHandleW(null): the process's own executable module.
  virtual ModuleHandle ProcessModule() = 0;
  // LoadLibraryExW(path, no file, LOAD_LIBRARY_AS_DATAFILE); *out is the
  // module on success and 0 on failure (with the error, which may be 0).
  virtual WinError LoadAsData(const char16_t* path, ModuleHandle* out) = 0;
  // FindResourceW(module, id, type), LoadResource, SizeofResource and
  // LockResource: *data and *size describe the resource's bytes, valid
  // until the module is freed; on failure *data is null and *size 0.
  virtual WinError FindResource(ModuleHandle module, const char16_t* type, std::uint16_t id,
                                const void** data, std::uint32_t* size) = 0;
  // FreeLibrary for a module that LoadAsData returned.
  virtual WinError Free(ModuleHandle module) = 0;
};

// Move-only owner of a module loaded as data: freed on every path out.
class UniqueDataModule {
 public:
  UniqueDataModule() = default;
  UniqueDataModule(const UniqueDataModule&) = delete;
  UniqueDataModule& operator=(const UniqueDataModule&) = delete;
  UniqueDataModule(UniqueDataModule&& o) noexcept
      : resources_(o.resources_), h_(std::exchange(o.h_, 0)) {}
  ~UniqueDataModule() { Reset(); }
  ModuleHandle get() const { return h_; }
  explicit operator bool() const { return h_ != 0; }
  // Frees the module now; returns the result (0 when none was held).
  WinError Reset() {
    WinError r = err::kSuccess;
    if (h_ != 0 && resources_ != nullptr) r = resources_->Free(h_);
    h_ = 0;
    return r;
  }
  // Loads `path` as data into this owner; keeps the old module on failure.
  WinError Load(ModuleResources& resources, const char16_t* path) {
    ModuleHandle h = 0;
    WinError r = resources.LoadAsData(path, &h);
    if (h != 0) {
      Reset();
      resources_ = &resources;
      h_ = h;
    }
    return r;
  }

 private:
  ModuleResources* resources_ = nullptr;
  ModuleHandle h_ = 0;
};

}  // namespace talv
