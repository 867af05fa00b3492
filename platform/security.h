// The security port: access tokens of the current thread and process, the
// SIDs they name, and absolute-form security descriptors built in buffers
// the caller owns. SIDs and descriptors are opaque bytes to the core; the
// platform reads and writes them. Results are Win32 error numbers (no
// separate last-error call), and out-parameters are left alone on failure.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/types.h"

namespace talv {

using TokenHandle = Handle;  // an access token; 0 is none

namespace sec {
// Pseudo handles, the values GetCurrentProcess and GetCurrentThread return.
inline constexpr Handle kCurrentProcess = static_cast<Handle>(-1);
inline constexpr Handle kCurrentThread = static_cast<Handle>(-2);

inline constexpr std::uint32_t kTokenQuery = 0x0008;  // TOKEN_QUERY

// Token information classes.
inline constexpr std::uint32_t kTokenUser = 1;
inline constexpr std::uint32_t kTokenPrimaryGroup = 5;

inline constexpr std::uint32_t kDescriptorRevision = 1;  // SECURITY_DESCRIPTOR_REVISION

// A TokenUser or TokenPrimaryGroup record begins with a pointer to its SID,
// which lies inside the same record.
inline const void* RecordSid(const void* record) {
  const void* sid = nullptr;
  std::memcpy(&sid, record, sizeof sid);
  return sid;
}
}  // namespace sec

namespace err {
inline constexpr WinError kUnknownRevision = 1305;  // ERROR_UNKNOWN_REVISION
}  // namespace err

class Security {
 public:
  virtual ~Security() = default;

  // GetCurrentThread: the calling thread's pseudo handle (never closed).
  virtual Handle GetCurrentThread() = 0;
  // OpenThreadToken(thread, access, openAsSelf); 1008 when the thread does
  // not impersonate. *out only on success, closed with CloseHandle.
  virtual WinError OpenThreadToken(Handle thread, std::uint32_t access, bool openAsSelf,
                                   TokenHandle* out) = 0;
  // GetCurrentProcess: the process's pseudo handle (never closed).
  virtual Handle GetCurrentProcess() = 0;
  // OpenProcessToken(process, access); *out only on success.
  virtual WinError OpenProcessToken(Handle process, std::uint32_t access, TokenHandle* out) = 0;
  // GetTokenInformation: with a buffer too small (or none, size 0) 122 and
  // *returnLength the size needed; on 0 the record and its size. Any other
  // failure leaves *returnLength alone.
  virtual WinError GetTokenInformation(TokenHandle token, std::uint32_t infoClass, void* buffer,
                                       std::uint32_t bufferSize,
                                       std::uint32_t* returnLength) = 0;
  // CloseHandle for a token this port opened.
  virtual WinError CloseHandle(TokenHandle handle) = 0;

  // GetLengthSid: the size in bytes of a valid SID.
  virtual std::uint32_t GetLengthSid(const void* sid) = 0;
  // CopySid(destLength, dest, source); 122 when the SID does not fit.
  virtual WinError CopySid(std::uint32_t destLength, void* dest, const void* source) = 0;

  // The bytes an absolute-form descriptor needs (SECURITY_DESCRIPTOR_MIN_LENGTH).
  virtual std::uint32_t DescriptorSize() = 0;
  // InitializeSecurityDescriptor: an empty descriptor (no owner, group or
  // access lists) in a buffer of DescriptorSize() bytes; 1305 for a
  // revision other than 1.
  virtual WinError InitializeSecurityDescriptor(void* descriptor, std::uint32_t revision) = 0;
  // SetSecurityDescriptorDacl: present with a null list grants everyone
  // everything. The descriptor refers to `acl`, it does not copy it.
  virtual WinError SetSecurityDescriptorDacl(void* descriptor, bool present, const void* acl,
                                             bool defaulted) = 0;
  // SetSecurityDescriptorOwner: null clears the owner; the descriptor refers
  // to `owner`, which must outlive its use.
  virtual WinError SetSecurityDescriptorOwner(void* descriptor, const void* owner,
                                              bool defaulted) = 0;
  // SetSecurityDescriptorGroup: the same for the primary group.
  virtual WinError SetSecurityDescriptorGroup(void* descriptor, const void* group,
                                              bool defaulted) = 0;
};

// Move-only owner of one open token: closed on every path out of a scope.
class UniqueToken {
 public:
  UniqueToken() = default;
  UniqueToken(Security& security, TokenHandle token) : security_(&security), h_(token) {}
  UniqueToken(const UniqueToken&) = delete;
  UniqueToken& operator=(const UniqueToken&) = delete;
  UniqueToken(UniqueToken&& o) noexcept : security_(o.security_), h_(std::exchange(o.h_, 0)) {}
  UniqueToken& operator=(UniqueToken&& o) noexcept {
    if (this != &o) {
      Reset();
      security_ = o.security_;
      h_ = std::exchange(o.h_, 0);
    }
    return *this;
  }
  ~UniqueToken() { Reset(); }

  TokenHandle get() const { return h_; }
  explicit operator bool() const { return h_ != 0; }
  // Closes the token now; returns the close's result (0 when none was held).
  WinError Reset() {
    WinError r = err::kSuccess;
    if (h_ != 0 && security_ != nullptr) r = security_->CloseHandle(h_);
    h_ = 0;
    return r;
  }

  // Opens the calling thread's token into this owner; keeps the old one on failure.
  WinError OpenThread(Security& security, std::uint32_t access, bool openAsSelf) {
    TokenHandle t = 0;
    WinError r = security.OpenThreadToken(security.GetCurrentThread(), access, openAsSelf, &t);
    if (r == err::kSuccess) Adopt(security, t);
    return r;
  }
  // Opens the process's token into this owner; keeps the old one on failure.
  WinError OpenProcess(Security& security, std::uint32_t access) {
    TokenHandle t = 0;
    WinError r = security.OpenProcessToken(security.GetCurrentProcess(), access, &t);
    if (r == err::kSuccess) Adopt(security, t);
    return r;
  }

 private:
  void Adopt(Security& security, TokenHandle t) {
    Reset();
    security_ = &security;
    h_ = t;
  }
  Security* security_ = nullptr;
  TokenHandle h_ = 0;
};

}  // namespace talv
