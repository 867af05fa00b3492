// The registry port over the real Win32 registry functions.
#pragma once

#include "platform/registry.h"

namespace talv::win32 {

class Win32Registry final : public Registry {
 public:
  WinError OpenKey(RegKey parent, const char16_t* subKey, std::uint32_t access, RegKey* out) override;
  WinError CreateKey(RegKey parent, const char16_t* subKey, std::uint32_t access, RegKey* out,
                     bool* created) override;
  WinError QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                      std::uint32_t* size) override;
  WinError SetValue(RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                    std::uint32_t size) override;
  WinError DeleteValue(RegKey key, const char16_t* name) override;
  WinError DeleteKey(RegKey parent, const char16_t* subKey) override;
  WinError EnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLen) override;
  WinError EnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* nameLen,
                     std::uint32_t* type, void* data, std::uint32_t* dataSize) override;
  WinError QueryInfoKey(RegKey key, std::uint32_t* subKeys, std::uint32_t* values) override;
  WinError CloseKey(RegKey key) override;
};

}  // namespace talv::win32
