// The security port over the real advapi32 token, SID and security
// descriptor functions.
#pragma once

#include "platform/security.h"

namespace talv::win32 {

class Win32Security final : public Security {
 public:
  Handle GetCurrentThread() override;
  WinError OpenThreadToken(Handle thread, std::uint32_t access, bool openAsSelf,
                           TokenHandle* out) override;
  Handle GetCurrentProcess() override;
  WinError OpenProcessToken(Handle process, std::uint32_t access, TokenHandle* out) override;
  WinError GetTokenInformation(TokenHandle token, std::uint32_t infoClass, void* buffer,
                               std::uint32_t bufferSize, std::uint32_t* returnLength) override;
  WinError CloseHandle(TokenHandle handle) override;
  std::uint32_t GetLengthSid(const void* sid) override;
  WinError CopySid(std::uint32_t destLength, void* dest, const void* source) override;
  std::uint32_t DescriptorSize() override;
  WinError InitializeSecurityDescriptor(void* descriptor, std::uint32_t revision) override;
  WinError SetSecurityDescriptorDacl(void* descriptor, bool present, const void* acl,
                                     bool defaulted) override;
  WinError SetSecurityDescriptorOwner(void* descriptor, const void* owner, bool defaulted) override;
  WinError SetSecurityDescriptorGroup(void* descriptor, const void* group, bool defaulted) override;
};

}  // namespace talv::win32
