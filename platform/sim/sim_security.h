// The simulated security functions: a process identity and an optional
// thread identity (user and primary-group SIDs as bytes), tokens handed out
// as counted handles, records laid out as the platform's (a SID pointer
// first, the SID inside the record), and absolute descriptors written in
// the platform's 64-bit layout into the caller's buffer. Every call is
// recorded with its arguments, in order.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/security.h"
#include "platform/sim/faults.h"

namespace talv::sim {

using SidBytes = std::vector<std::uint8_t>;

// A SID from its identifier authority and sub-authorities, e.g.
// MakeSid(5, {21, 1, 2, 3, 1000}) for S-1-5-21-1-2-3-1000.
SidBytes MakeSid(std::uint8_t authority, std::initializer_list<std::uint32_t> subAuthorities);

struct SimIdentity {
  SidBytes user;
  SidBytes group;
};

class SimSecurity final : public Security {
 public:
  enum class Op { OpenThreadToken, OpenProcessToken, GetTokenInformation, CloseHandle, GetLengthSid,
                  CopySid, InitializeDescriptor, SetDacl, SetOwner, SetGroup };

  // One call as it was made, with its result.
  struct Call {
    Op op = Op::OpenThreadToken;
    Handle handle = 0;             // thread, process or token
    std::uint32_t value = 0;       // access, information class, buffer size or revision
    bool flag = false;             // openAsSelf, or the DACL's "present"
    bool defaulted = false;
    void* descriptor = nullptr;    // descriptor, CopySid's destination, or the information buffer
    const void* sid = nullptr;     // owner, group, ACL or CopySid's source
    WinError result = 0;
  };

  // What a descriptor written by this simulator holds.
  struct DescriptorView {
    std::uint8_t revision = 0;
    std::uint16_t control = 0;
    const void* owner = nullptr;
    const void* group = nullptr;
    const void* sacl = nullptr;
    const void* dacl = nullptr;
    bool daclPresent() const { return (control & kDaclPresent) != 0; }
    bool ownerDefaulted() const { return (control & kOwnerDefaulted) != 0; }
    bool groupDefaulted() const { return (control & kGroupDefaulted) != 0; }
    bool daclDefaulted() const { return (control & kDaclDefaulted) != 0; }
  };
  static constexpr std::uint16_t kOwnerDefaulted = 0x0001;
  static constexpr std::uint16_t kGroupDefaulted = 0x0002;
  static constexpr std::uint16_t kDaclPresent = 0x0004;
  static constexpr std::uint16_t kDaclDefaulted = 0x0008;

  SimSecurity();

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

  // --- test side -------------------------------------------------------
  // GetLengthSid cannot fail; a fault planned for it is ignored.
  FaultPlan<Op>& faults() { return faults_; }
  // The identity the process token names (a sample user and group at start).
  void SetProcessIdentity(SimIdentity identity);
  // The calling thread impersonates `identity` (every thread, in this simulator).
  void SetThreadIdentity(SimIdentity identity);
  // No thread impersonates: opening the thread token answers 1008.
  void ClearThreadIdentity();
  const SimIdentity& processIdentity() const { return process_; }
  // Tokens open right now.
  std::size_t OpenTokenCount() const;
  std::vector<Call> Calls() const;
  std::vector<Call> CallsOf(Op op) const;
  void ClearCalls();
  // Reads a descriptor this simulator initialised.
  static DescriptorView ReadDescriptor(const void* descriptor);
  // The bytes of a SID (GetLengthSid of them).
  static SidBytes SidOf(const void* sid);

 private:
  struct Token {
    SimIdentity identity;
    std::uint32_t access = 0;
  };
  WinError OpenToken(const SimIdentity& identity, std::uint32_t access, TokenHandle* out);
  WinError SetPointer(Op op, void* descriptor, std::size_t offset, std::uint16_t flag,
                      const void* value, bool defaulted);
  void Record(const Call& c);

  mutable std::mutex mutex_;
  SimIdentity process_;
  std::optional<SimIdentity> thread_;
  std::map<TokenHandle, Token> tokens_;
  TokenHandle nextToken_ = 0x400;
  std::vector<Call> calls_;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
