#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_security.h"

namespace talv::win32 {

namespace {
HANDLE Hd(Handle h) { return ToHandle<HANDLE>(h); }
WinError Result(BOOL ok) { return ok ? err::kSuccess : LastError(); }
}  // namespace

Handle Win32Security::GetCurrentThread() { return FromHandle(::GetCurrentThread()); }

WinError Win32Security::OpenThreadToken(Handle thread, std::uint32_t access, bool openAsSelf,
                                        TokenHandle* out) {
  HANDLE t = nullptr;
  if (!::OpenThreadToken(Hd(thread), access, openAsSelf ? TRUE : FALSE, &t)) return LastError();
  if (out) *out = FromHandle(t);
  return err::kSuccess;
}

Handle Win32Security::GetCurrentProcess() { return FromHandle(::GetCurrentProcess()); }

WinError Win32Security::OpenProcessToken(Handle process, std::uint32_t access, TokenHandle* out) {
  HANDLE t = nullptr;
  if (!::OpenProcessToken(Hd(process), access, &t)) return LastError();
  if (out) *out = FromHandle(t);
  return err::kSuccess;
}

WinError Win32Security::GetTokenInformation(TokenHandle token, std::uint32_t infoClass,
                                            void* buffer, std::uint32_t bufferSize,
                                            std::uint32_t* returnLength) {
  DWORD length = 0;
  WinError e = Result(::GetTokenInformation(
      Hd(token), static_cast<TOKEN_INFORMATION_CLASS>(infoClass), buffer, bufferSize, &length));
  // The size needed is the point of a too-small call, so it is handed out then too.
  if ((e == err::kSuccess || e == err::kInsufficientBuffer) && returnLength) *returnLength = length;
  return e;
}

WinError Win32Security::CloseHandle(TokenHandle handle) { return Result(::CloseHandle(Hd(handle))); }

std::uint32_t Win32Security::GetLengthSid(const void* sid) {
  return ::GetLengthSid(const_cast<void*>(sid));
}

WinError Win32Security::CopySid(std::uint32_t destLength, void* dest, const void* source) {
  return Result(::CopySid(destLength, dest, const_cast<void*>(source)));
}

std::uint32_t Win32Security::DescriptorSize() { return SECURITY_DESCRIPTOR_MIN_LENGTH; }

WinError Win32Security::InitializeSecurityDescriptor(void* descriptor, std::uint32_t revision) {
  return Result(::InitializeSecurityDescriptor(descriptor, revision));
}

WinError Win32Security::SetSecurityDescriptorDacl(void* descriptor, bool present, const void* acl,
                                                  bool defaulted) {
  return Result(::SetSecurityDescriptorDacl(descriptor, present ? TRUE : FALSE,
                                            static_cast<PACL>(const_cast<void*>(acl)),
                                            defaulted ? TRUE : FALSE));
}

WinError Win32Security::SetSecurityDescriptorOwner(void* descriptor, const void* owner,
                                                   bool defaulted) {
  return Result(
      ::SetSecurityDescriptorOwner(descriptor, const_cast<void*>(owner), defaulted ? TRUE : FALSE));
}

WinError Win32Security::SetSecurityDescriptorGroup(void* descriptor, const void* group,
                                                   bool defaulted) {
  return Result(
      ::SetSecurityDescriptorGroup(descriptor, const_cast<void*>(group), defaulted ? TRUE : FALSE));
}

}  // namespace talv::win32
