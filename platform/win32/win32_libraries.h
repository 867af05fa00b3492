// The dynamic-library port over the real loader.
#pragma once

#include "platform/library.h"

namespace talv::win32 {

class Win32Libraries final : public Libraries {
 public:
  WinError Load(const char16_t* name, ModuleHandle* out) override;
  ProcAddress GetProc(ModuleHandle module, const char* name) override;
  WinError Free(ModuleHandle module) override;
};

}  // namespace talv::win32
