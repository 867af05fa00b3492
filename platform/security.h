// The security port: access tokens of the current thread and process, the
// SIDs they name, and absolute-form security descriptors built in buffers
// the caller owns. SIDs and descriptors are opaque bytes to the core; the
// platform reads and writes them. Results are Win32 error numbers (no
// separate last-error call), and out-parameters are left alone on failure.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/owner.h"
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
  [[nodiscard]] virtual WinError OpenThreadToken(Handle thread, std::uint32_t access, bool openAsSelf,
                                   TokenHandle* out) = 0;
  // GetCurrentProcess: the process's pseudo handle (never closed).
  virtual Handle GetCurrentProcess() = 0;
  // OpenProcessToken(process, access); *out only on success.
  [[nodiscard]] virtual WinError OpenProcessToken(Handle process, std::uint32_t access, TokenHandle* out) = 0;
  // GetTokenInformation: with a buffer too small (or none, size 0) 122 and
  // *returnLength the size needed; on 0 the record and its size. Any other
  // failure leaves *returnLength alone.
  [[nodiscard]] virtual WinError GetTokenInformation(TokenHandle token, std::uint32_t infoClass, void* buffer,
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

// An open token, closed on every path out of a scope.
using UniqueToken = Owner<ClosedBy<&Security::CloseHandle>>;

// Opens the calling thread's token into `token`; keeps the old one on failure.
[[nodiscard]] inline WinError OpenThread(UniqueToken& token, Security& security, std::uint32_t access,
                           bool openAsSelf) {
  return OpenInto(token, security, [&](TokenHandle* out) {
    return security.OpenThreadToken(security.GetCurrentThread(), access, openAsSelf, out);
  });
}
// Opens the process's token into `token`; keeps the old one on failure.
[[nodiscard]] inline WinError OpenProcess(UniqueToken& token, Security& security, std::uint32_t access) {
  return OpenInto(token, security, [&](TokenHandle* out) {
    return security.OpenProcessToken(security.GetCurrentProcess(), access, out);
  });
}

}  // namespace talv
