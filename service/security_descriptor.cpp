#include "service/security_descriptor.h"

namespace talv {

HResult ReadTokenSids(Security& security, TokenHandle token, TokenSids* out,
                      ByteAllocator& allocator) {
  struct Part {
    std::uint32_t infoClass;
    OwnedBytes* copy;
  };
  const Part parts[] = {{sec::kTokenUser, &out->user}, {sec::kTokenPrimaryGroup, &out->group}};
  for (const Part& part : parts) {
    std::uint32_t size = 0;
    WinError e = security.GetTokenInformation(token, part.infoClass, nullptr, 0, &size);
    if (e != err::kInsufficientBuffer) return HResultFromWin32(e);
    OwnedBytes record;
    if (!Allocate(record, allocator, size)) return hr::kOutOfMemory;
    e = security.GetTokenInformation(token, part.infoClass, record.get(), size, &size);
    if (e != err::kSuccess) return HResultFromWin32(e);
    const void* sid = sec::RecordSid(record.get());
    std::uint32_t length = security.GetLengthSid(sid);
    OwnedBytes copy;
    if (!Allocate(copy, allocator, length)) return hr::kOutOfMemory;
    e = security.CopySid(length, copy.get(), sid);
    if (e != err::kSuccess) return HResultFromWin32(e);
    *part.copy = std::move(copy);
  }
  return hr::kOk;
}

HResult ReadThreadTokenSids(Security& security, bool openAsSelf, TokenSids* out,
                            ByteAllocator& allocator) {
  UniqueToken token;
  WinError e = OpenThread(token, security, sec::kTokenQuery, openAsSelf);
  if (e != err::kSuccess) return HResultFromWin32(e);
  return ReadTokenSids(security, token.get(), out, allocator);
}

HResult ReadProcessTokenSids(Security& security, TokenSids* out, ByteAllocator& allocator) {
  UniqueToken token;
  WinError e = OpenProcess(token, security, sec::kTokenQuery);
  if (e != err::kSuccess) return HResultFromWin32(e);
  return ReadTokenSids(security, token.get(), out, allocator);
}

CProcessSecurityDescriptor::CProcessSecurityDescriptor(Security& security,
                                                       ByteAllocator& allocator)
    : security_(security), allocator_(allocator) {}

void CProcessSecurityDescriptor::Release() {
  descriptor_.reset();
  owner_.reset();
  group_.reset();
}

HResult CProcessSecurityDescriptor::Reset() {
  Release();
  if (!Allocate(descriptor_, allocator_, security_.DescriptorSize())) return hr::kOutOfMemory;
  WinError e = security_.InitializeSecurityDescriptor(descriptor_.get(), sec::kDescriptorRevision);
  if (e != err::kSuccess) {
    descriptor_.reset();
    return HResultFromWin32(e);
  }
  // Present but null, not empty: an empty list would deny everyone.
  security_.SetSecurityDescriptorDacl(descriptor_.get(), true, nullptr, false);
  return hr::kOk;
}

HResult CProcessSecurityDescriptor::SetSid(SetFn set, OwnedBytes& copy, const void* sid,
                                           bool defaulted) {
  // Without a descriptor the platform would be handed a null one.
  if (!descriptor_) return com::kUnexpected;
  WinError e = (security_.*set)(descriptor_.get(), nullptr, defaulted);
  if (e != err::kSuccess) return HResultFromWin32(e);
  copy.reset();
  if (sid == nullptr) return hr::kOk;
  std::uint32_t length = security_.GetLengthSid(sid);
  OwnedBytes fresh;
  if (!Allocate(fresh, allocator_, length)) return hr::kOutOfMemory;
  e = security_.CopySid(length, fresh.get(), sid);
  if (e == err::kSuccess) e = (security_.*set)(descriptor_.get(), fresh.get(), defaulted);
  if (e != err::kSuccess) return HResultFromWin32(e);
  copy = std::move(fresh);
  return hr::kOk;
}

HResult CProcessSecurityDescriptor::SetOwnerSid(const void* sid, bool defaulted) {
  return SetSid(&Security::SetSecurityDescriptorOwner, owner_, sid, defaulted);
}

HResult CProcessSecurityDescriptor::SetGroupSid(const void* sid, bool defaulted) {
  return SetSid(&Security::SetSecurityDescriptorGroup, group_, sid, defaulted);
}

HResult CProcessSecurityDescriptor::BuildFromThreadToken(bool defaulted,
                                                         bool fallBackToProcessToken) {
  HResult status = Reset();
  // Owner and group need a descriptor to go into.
  if (com::Failed(status)) return status;
  TokenSids sids;
  status = ReadThreadTokenSids(security_, false, &sids, allocator_);
  // Only a thread that does not impersonate falls back; any other failure
  // leaves the descriptor without owner and group.
  if ((status & 0xFFFFu) == err::kNoToken && fallBackToProcessToken) {
    status = ReadProcessTokenSids(security_, &sids, allocator_);
  }
  if (com::Succeeded(status)) {
    status = SetOwnerSid(sids.user.get(), defaulted);
    if (com::Succeeded(status)) status = SetGroupSid(sids.group.get(), defaulted);
  }
  return status;
}

HResult InitializeProcessSecurity(Com& runtime, CProcessSecurityDescriptor& sd) {
  sd.BuildFromThreadToken(false, true);
  return runtime.CoInitializeSecurity(sd.descriptor(), com::kAuthServicesDefault, nullptr, nullptr,
                                  com::kAuthnLevelPkt, com::kImpLevelImpersonate, nullptr,
                                  com::kEoacNone, nullptr);
}

}  // namespace talv
