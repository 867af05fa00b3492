#include "platform/sim/sim_security.h"

#include <cstddef>
#include <cstring>

namespace talv::sim {

namespace {

constexpr WinError kNoAccess = 998;  // ERROR_NOACCESS: a pointer the platform cannot use

// The platform's absolute-form descriptor, field for field.
struct AbsoluteDescriptor {
  std::uint8_t revision;
  std::uint8_t sbz1;
  std::uint16_t control;
  const void* owner;
  const void* group;
  const void* sacl;
  const void* dacl;
};

// TOKEN_USER is a SID pointer and a 32-bit attribute word (padded to the
// pointer's alignment); TOKEN_PRIMARY_GROUP is the pointer alone.
constexpr std::size_t kUserRecordHeader = 2 * sizeof(void*);
constexpr std::size_t kGroupRecordHeader = sizeof(void*);

std::uint32_t SidLength(const void* sid) {
  if (sid == nullptr) return 0;
  // Revision, sub-authority count, six authority bytes, then 32-bit
  // sub-authorities.
  return 8u + 4u * static_cast<const std::uint8_t*>(sid)[1];
}

}  // namespace

SidBytes MakeSid(std::uint8_t authority, std::initializer_list<std::uint32_t> subAuthorities) {
  SidBytes s{1, static_cast<std::uint8_t>(subAuthorities.size()), 0, 0, 0, 0, 0, authority};
  for (std::uint32_t v : subAuthorities) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return s;
}

SimSecurity::SimSecurity()
    : process_{MakeSid(5, {21, 1111, 2222, 3333, 1000}), MakeSid(5, {21, 1111, 2222, 3333, 513})} {}

void SimSecurity::Record(const Call& c) { calls_.push_back(c); }

Handle SimSecurity::GetCurrentThread() { return sec::kCurrentThread; }

Handle SimSecurity::GetCurrentProcess() { return sec::kCurrentProcess; }

WinError SimSecurity::OpenToken(const SimIdentity& identity, std::uint32_t access,
                                TokenHandle* out) {
  if (out == nullptr) return kNoAccess;
  TokenHandle h = nextToken_;
  nextToken_ += 4;
  tokens_[h] = Token{identity, access};
  *out = h;
  return err::kSuccess;
}

WinError SimSecurity::OpenThreadToken(Handle thread, std::uint32_t access, bool openAsSelf,
                                      TokenHandle* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::OpenThreadToken, thread, access, openAsSelf};
  WinError r = faults_.Enter(Op::OpenThreadToken);
  if (r == 0) {
    if (thread != sec::kCurrentThread) {
      r = err::kInvalidHandle;
    } else if (!thread_) {
      r = err::kNoToken;
    } else {
      r = OpenToken(*thread_, access, out);
    }
  }
  c.result = r;
  Record(c);
  return r;
}

WinError SimSecurity::OpenProcessToken(Handle process, std::uint32_t access, TokenHandle* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::OpenProcessToken, process, access};
  WinError r = faults_.Enter(Op::OpenProcessToken);
  if (r == 0) r = process != sec::kCurrentProcess ? err::kInvalidHandle : OpenToken(process_, access, out);
  c.result = r;
  Record(c);
  return r;
}

WinError SimSecurity::GetTokenInformation(TokenHandle token, std::uint32_t infoClass, void* buffer,
                                          std::uint32_t bufferSize, std::uint32_t* returnLength) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::GetTokenInformation, token, infoClass};
  c.descriptor = buffer;
  c.result = [&]() -> WinError {
    if (WinError f = faults_.Enter(Op::GetTokenInformation)) return f;
    auto it = tokens_.find(token);
    if (it == tokens_.end()) return err::kInvalidHandle;
    if ((it->second.access & sec::kTokenQuery) == 0) return err::kAccessDenied;
    const SidBytes* sid = nullptr;
    std::size_t header = 0;
    if (infoClass == sec::kTokenUser) {
      sid = &it->second.identity.user;
      header = kUserRecordHeader;
    } else if (infoClass == sec::kTokenPrimaryGroup) {
      sid = &it->second.identity.group;
      header = kGroupRecordHeader;
    } else {
      return err::kInvalidParameter;  // classes beyond these two are not simulated
    }
    if (returnLength == nullptr) return kNoAccess;
    auto needed = static_cast<std::uint32_t>(header + sid->size());
    if (buffer == nullptr || bufferSize < needed) {
      *returnLength = needed;
      return err::kInsufficientBuffer;
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::memset(bytes, 0, header);
    const void* sidAt = bytes + header;
    std::memcpy(bytes, &sidAt, sizeof sidAt);
    std::memcpy(bytes + header, sid->data(), sid->size());
    *returnLength = needed;
    return err::kSuccess;
  }();
  Record(c);
  return c.result;
}

WinError SimSecurity::CloseHandle(TokenHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::CloseHandle, handle};
  WinError r = faults_.Enter(Op::CloseHandle);
  if (r == 0 && tokens_.erase(handle) == 0) r = err::kInvalidHandle;
  c.result = r;
  Record(c);
  return r;
}

std::uint32_t SimSecurity::GetLengthSid(const void* sid) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::GetLengthSid};
  c.sid = sid;
  faults_.Enter(Op::GetLengthSid);
  Record(c);
  return SidLength(sid);
}

WinError SimSecurity::CopySid(std::uint32_t destLength, void* dest, const void* source) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::CopySid, 0, destLength};
  c.descriptor = dest;
  c.sid = source;
  WinError r = faults_.Enter(Op::CopySid);
  if (r == 0) {
    std::uint32_t length = SidLength(source);
    if (source == nullptr || dest == nullptr) {
      r = kNoAccess;
    } else if (destLength < length) {
      r = err::kInsufficientBuffer;
    } else {
      std::memcpy(dest, source, length);
    }
  }
  c.result = r;
  Record(c);
  return r;
}

std::uint32_t SimSecurity::DescriptorSize() { return sizeof(AbsoluteDescriptor); }

WinError SimSecurity::InitializeSecurityDescriptor(void* descriptor, std::uint32_t revision) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::InitializeDescriptor, 0, revision};
  c.descriptor = descriptor;
  WinError r = faults_.Enter(Op::InitializeDescriptor);
  if (r == 0) {
    if (descriptor == nullptr) {
      r = kNoAccess;
    } else if (revision != sec::kDescriptorRevision) {
      r = err::kUnknownRevision;
    } else {
      AbsoluteDescriptor d{};
      d.revision = static_cast<std::uint8_t>(revision);
      std::memcpy(descriptor, &d, sizeof d);
    }
  }
  c.result = r;
  Record(c);
  return r;
}

WinError SimSecurity::SetPointer(Op op, void* descriptor, std::size_t offset, std::uint16_t flag,
                                 const void* value, bool defaulted) {
  if (WinError f = faults_.Enter(op)) return f;
  if (descriptor == nullptr) return kNoAccess;
  AbsoluteDescriptor d;
  std::memcpy(&d, descriptor, sizeof d);
  if (d.revision != sec::kDescriptorRevision) return err::kUnknownRevision;
  d.control = static_cast<std::uint16_t>(defaulted ? (d.control | flag) : (d.control & ~flag));
  std::memcpy(static_cast<std::uint8_t*>(descriptor) + offset, &value, sizeof value);
  std::memcpy(descriptor, &d, offsetof(AbsoluteDescriptor, owner));
  return err::kSuccess;
}

WinError SimSecurity::SetSecurityDescriptorDacl(void* descriptor, bool present, const void* acl,
                                                bool defaulted) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::SetDacl, 0, 0, present, defaulted, descriptor, acl};
  c.result = [&]() -> WinError {
    WinError r = SetPointer(Op::SetDacl, descriptor, offsetof(AbsoluteDescriptor, dacl),
                            kDaclDefaulted, present ? acl : nullptr, present && defaulted);
    if (r != 0) return r;
    AbsoluteDescriptor d;
    std::memcpy(&d, descriptor, sizeof d);
    d.control = static_cast<std::uint16_t>(present ? (d.control | kDaclPresent)
                                                   : (d.control & ~kDaclPresent));
    std::memcpy(descriptor, &d, offsetof(AbsoluteDescriptor, owner));
    return err::kSuccess;
  }();
  Record(c);
  return c.result;
}

WinError SimSecurity::SetSecurityDescriptorOwner(void* descriptor, const void* owner,
                                                 bool defaulted) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::SetOwner, 0, 0, false, defaulted, descriptor, owner};
  c.result = SetPointer(Op::SetOwner, descriptor, offsetof(AbsoluteDescriptor, owner),
                        kOwnerDefaulted, owner, defaulted);
  Record(c);
  return c.result;
}

WinError SimSecurity::SetSecurityDescriptorGroup(void* descriptor, const void* group,
                                                 bool defaulted) {
  std::lock_guard<std::mutex> lock(mutex_);
  Call c{Op::SetGroup, 0, 0, false, defaulted, descriptor, group};
  c.result = SetPointer(Op::SetGroup, descriptor, offsetof(AbsoluteDescriptor, group),
                        kGroupDefaulted, group, defaulted);
  Record(c);
  return c.result;
}

// --- test side ---------------------------------------------------------

void SimSecurity::SetProcessIdentity(SimIdentity identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  process_ = std::move(identity);
}

void SimSecurity::SetThreadIdentity(SimIdentity identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  thread_ = std::move(identity);
}

void SimSecurity::ClearThreadIdentity() {
  std::lock_guard<std::mutex> lock(mutex_);
  thread_.reset();
}

std::size_t SimSecurity::OpenTokenCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tokens_.size();
}

std::vector<SimSecurity::Call> SimSecurity::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

std::vector<SimSecurity::Call> SimSecurity::CallsOf(Op op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.op == op) out.push_back(c);
  return out;
}

void SimSecurity::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

SimSecurity::DescriptorView SimSecurity::ReadDescriptor(const void* descriptor) {
  AbsoluteDescriptor d;
  std::memcpy(&d, descriptor, sizeof d);
  DescriptorView v;
  v.revision = d.revision;
  v.control = d.control;
  v.owner = d.owner;
  v.group = d.group;
  v.sacl = d.sacl;
  v.dacl = d.dacl;
  return v;
}

SidBytes SimSecurity::SidOf(const void* sid) {
  const auto* p = static_cast<const std::uint8_t*>(sid);
  return sid ? SidBytes(p, p + SidLength(sid)) : SidBytes{};
}

}  // namespace talv::sim
