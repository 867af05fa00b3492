// The security descriptor the process hands to COM: absolute form, a
// present but null access list (every caller is let in), and as owner and
// group the SIDs of the identity the run thread works under. Also the token
// reads that yield those SIDs, and the process-wide COM security call.
#pragma once

#include <cstdint>

#include "platform/com.h"
#include "platform/memory.h"
#include "platform/security.h"

namespace talv {

// Copies of a token's user SID and primary-group SID.
struct TokenSids {
  OwnedBytes user;
  OwnedBytes group;
};

// Reads the user and primary-group SIDs of `token` into *out (user first; a
// user copy stays in *out when the group read fails). 0, E_OUTOFMEMORY or
// the platform error as a COM status.
HResult ReadTokenSids(Security& security, TokenHandle token, TokenSids* out,
                      ByteAllocator& allocator = HeapAllocator());
// The same for the calling thread's own token, opened for query; fails with
// 0x800703F0 (from 1008) when the thread does not impersonate.
HResult ReadThreadTokenSids(Security& security, bool openAsSelf, TokenSids* out,
                            ByteAllocator& allocator = HeapAllocator());
// The same for the process token.
HResult ReadProcessTokenSids(Security& security, TokenSids* out,
                             ByteAllocator& allocator = HeapAllocator());

class CProcessSecurityDescriptor {
 public:
  explicit CProcessSecurityDescriptor(Security& security,
                                      ByteAllocator& allocator = HeapAllocator());
  CProcessSecurityDescriptor(const CProcessSecurityDescriptor&) = delete;
  CProcessSecurityDescriptor& operator=(const CProcessSecurityDescriptor&) = delete;
  ~CProcessSecurityDescriptor() { Release(); }

  // A fresh descriptor with a null access list (the old one, its owner and
  // group are freed first). E_OUTOFMEMORY, or the platform's error when the
  // descriptor cannot be initialised; the object then holds no descriptor.
  HResult Reset();
  // Sets the owner to a copy of `sid` (null: no owner). The previous owner
  // copy is freed once the descriptor no longer refers to it.
  HResult SetOwnerSid(const void* sid, bool defaulted);
  // The same for the primary group.
  HResult SetGroupSid(const void* sid, bool defaulted);
  // Reset, then owner and group from the thread's token, or from the
  // process token when the thread has none (1008) and `fallBackToProcessToken`.
  HResult BuildFromThreadToken(bool defaulted, bool fallBackToProcessToken);
  // Frees the descriptor and the owner and group copies, each if present.
  void Release();

  // The descriptor to hand to the platform, or null when there is none.
  void* descriptor() const { return descriptor_.get(); }
  const void* owner() const { return owner_.get(); }
  const void* group() const { return group_.get(); }

 private:
  using SetFn = WinError (Security::*)(void*, const void*, bool);
  HResult SetSid(SetFn set, OwnedBytes& copy, const void* sid, bool defaulted);

  Security& security_;
  ByteAllocator& allocator_;
  OwnedBytes descriptor_;
  OwnedBytes owner_;
  OwnedBytes group_;
};

// The process-wide COM security set-up of a service run: builds `sd` from
// the thread's token (falling back to the process token), whatever that
// yields, and calls CoInitializeSecurity once with it (or with none when no
// descriptor could be made), -1 services, packet authentication,
// impersonation, no capabilities. Returns that call's status. `sd` must live
// until COM has been uninitialised.
HResult InitializeProcessSecurity(Com& runtime, CProcessSecurityDescriptor& sd);

}  // namespace talv
