// The COM runtime port over the real ole32 functions.
#pragma once

#include "platform/com.h"

namespace talv::win32 {

class Win32Com final : public Com {
 public:
  HResult CoInitializeEx(std::uint32_t flags) override;
  HResult CoInitialize() override;
  void CoUninitialize() override;
  HResult CoInitializeSecurity(const void* descriptor, std::int32_t authServiceCount,
                               const void* authServices, void* reserved1, std::uint32_t authnLevel,
                               std::uint32_t impLevel, void* authList, std::uint32_t capabilities,
                               void* reserved3) override;
  HResult CoRegisterClassObject(const Guid& clsid, ComUnknown* factory, std::uint32_t context,
                                std::uint32_t flags, std::uint32_t* cookie) override;
  HResult CoRevokeClassObject(std::uint32_t cookie) override;
  HResult CoCreateCategoryRegistrar(const Guid& clsid, std::uint32_t context,
                                    CategoryRegistrar** out) override;
};

}  // namespace talv::win32
