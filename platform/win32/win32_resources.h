// The module-resources port over LoadLibraryExW and the resource functions.
#pragma once

#include "platform/resources.h"

namespace talv::win32 {

class Win32Resources final : public ModuleResources {
 public:
  ModuleHandle ProcessModule() override;
  WinError LoadAsData(const char16_t* path, ModuleHandle* out) override;
  WinError FindResource(ModuleHandle module, const char16_t* type, std::uint16_t id,
                        const void** data, std::uint32_t* size) override;
  WinError Free(ModuleHandle module) override;
};

}  // namespace talv::win32
