// The process security descriptor, the token reads behind it and the
// process-wide COM security call, on the simulated security functions and
// COM runtime.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_com.h"
#include "platform/sim/sim_security.h"
#include "service/security_descriptor.h"

namespace talv {
namespace {

using sim::SidBytes;
using sim::SimCom;
using sim::SimSecurity;
using Op = SimSecurity::Op;

// Heap allocations counted, and the n-th one (1 = the next) refused.
class CountingAllocator final : public ByteAllocator {
 public:
  void* Allocate(std::size_t bytes) noexcept override {
    if (++calls == failAt) return nullptr;
    ++live;
    return HeapAllocator().Allocate(bytes);
  }
  void Free(void* p) noexcept override {
    --live;
    HeapAllocator().Free(p);
  }
  unsigned calls = 0;
  unsigned failAt = 0;
  long live = 0;
};

const sim::SimIdentity kImpersonated{sim::MakeSid(5, {21, 7, 8, 9, 4242}),
                                     sim::MakeSid(5, {21, 7, 8, 9, 512})};

class SecurityDescriptorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(security.OpenTokenCount(), 0u) << "every token was closed";
  }
  std::size_t Count(Op op) const { return security.CallsOf(op).size(); }

  SimSecurity security;
  SimCom com;
  CountingAllocator alloc;
};

TEST_F(SecurityDescriptorTest, ResetMakesAnInitialisedDescriptorWithNullDacl) {
  CProcessSecurityDescriptor sd(security, alloc);
  EXPECT_EQ(sd.descriptor(), nullptr);
  ASSERT_EQ(sd.Reset(), 0u);
  ASSERT_NE(sd.descriptor(), nullptr);
  auto init = security.CallsOf(Op::InitializeDescriptor);
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0].value, 1u) << "revision";
  auto dacl = security.CallsOf(Op::SetDacl);
  ASSERT_EQ(dacl.size(), 1u);
  EXPECT_TRUE(dacl[0].flag) << "present";
  EXPECT_EQ(dacl[0].sid, nullptr) << "a null list";
  EXPECT_FALSE(dacl[0].defaulted);
  auto v = SimSecurity::ReadDescriptor(sd.descriptor());
  EXPECT_EQ(v.revision, 1u);
  EXPECT_TRUE(v.daclPresent());
  EXPECT_EQ(v.dacl, nullptr);
  EXPECT_EQ(v.owner, nullptr);
  EXPECT_EQ(v.group, nullptr);
  EXPECT_EQ(alloc.live, 1);
  sd.Release();
  EXPECT_EQ(sd.descriptor(), nullptr);
  EXPECT_EQ(alloc.live, 0);
}

TEST_F(SecurityDescriptorTest, ResetFreesTheOldDescriptorOwnerAndGroup) {
  CProcessSecurityDescriptor sd(security, alloc);
  ASSERT_EQ(sd.BuildFromThreadToken(false, true), 0u);
  EXPECT_EQ(alloc.live, 3) << "descriptor, owner and group copies";
  ASSERT_EQ(sd.Reset(), 0u);
  EXPECT_EQ(alloc.live, 1);
  EXPECT_EQ(sd.owner(), nullptr);
  EXPECT_EQ(sd.group(), nullptr);
}

TEST_F(SecurityDescriptorTest, NoThreadTokenFallsBackToTheProcessToken) {
  CProcessSecurityDescriptor sd(security, alloc);
  ASSERT_EQ(sd.BuildFromThreadToken(false, true), 0u);

  auto thread = security.CallsOf(Op::OpenThreadToken);
  ASSERT_EQ(thread.size(), 1u);
  EXPECT_EQ(thread[0].handle, sec::kCurrentThread);
  EXPECT_EQ(thread[0].value, sec::kTokenQuery);
  EXPECT_FALSE(thread[0].flag) << "not opened as self";
  EXPECT_EQ(thread[0].result, err::kNoToken);
  auto process = security.CallsOf(Op::OpenProcessToken);
  ASSERT_EQ(process.size(), 1u);
  EXPECT_EQ(process[0].handle, sec::kCurrentProcess);
  EXPECT_EQ(process[0].value, sec::kTokenQuery);
  EXPECT_EQ(Count(Op::CloseHandle), 1u);

  auto v = SimSecurity::ReadDescriptor(sd.descriptor());
  EXPECT_TRUE(v.daclPresent());
  EXPECT_EQ(v.dacl, nullptr);
  EXPECT_EQ(v.owner, sd.owner()) << "the descriptor refers to its own copy";
  EXPECT_EQ(v.group, sd.group());
  EXPECT_EQ(SimSecurity::SidOf(v.owner), security.processIdentity().user);
  EXPECT_EQ(SimSecurity::SidOf(v.group), security.processIdentity().group);
  EXPECT_FALSE(v.ownerDefaulted());
  EXPECT_FALSE(v.groupDefaulted());
  EXPECT_EQ(alloc.live, 3) << "the token records and SID reads were freed";
}

TEST_F(SecurityDescriptorTest, ImpersonatingThreadGivesItsOwnSids) {
  security.SetThreadIdentity(kImpersonated);
  CProcessSecurityDescriptor sd(security, alloc);
  ASSERT_EQ(sd.BuildFromThreadToken(true, true), 0u);
  EXPECT_EQ(Count(Op::OpenProcessToken), 0u);
  auto v = SimSecurity::ReadDescriptor(sd.descriptor());
  EXPECT_EQ(SimSecurity::SidOf(v.owner), kImpersonated.user);
  EXPECT_EQ(SimSecurity::SidOf(v.group), kImpersonated.group);
  EXPECT_TRUE(v.ownerDefaulted());
  EXPECT_TRUE(v.groupDefaulted());
}

TEST_F(SecurityDescriptorTest, OtherThreadTokenFailureDoesNotFallBack) {
  security.faults().FailNext(Op::OpenThreadToken, err::kAccessDenied);
  CProcessSecurityDescriptor sd(security, alloc);
  EXPECT_EQ(sd.BuildFromThreadToken(false, true), 0x80070005u);
  EXPECT_EQ(Count(Op::OpenProcessToken), 0u);
  ASSERT_NE(sd.descriptor(), nullptr);
  auto v = SimSecurity::ReadDescriptor(sd.descriptor());
  EXPECT_TRUE(v.daclPresent());
  EXPECT_EQ(v.dacl, nullptr);
  EXPECT_EQ(v.owner, nullptr);
  EXPECT_EQ(v.group, nullptr);
  EXPECT_EQ(Count(Op::SetOwner), 0u);
}

TEST_F(SecurityDescriptorTest, NoFallBackWhenNotAskedFor) {
  CProcessSecurityDescriptor sd(security, alloc);
  EXPECT_EQ(sd.BuildFromThreadToken(false, false), 0x800703F0u);
  EXPECT_EQ(Count(Op::OpenProcessToken), 0u);
  EXPECT_EQ(SimSecurity::ReadDescriptor(sd.descriptor()).owner, nullptr);
}

TEST_F(SecurityDescriptorTest, NullOwnerOrGroupLeavesNoneAndFreesTheOldCopy) {
  CProcessSecurityDescriptor sd(security, alloc);
  ASSERT_EQ(sd.BuildFromThreadToken(false, true), 0u);
  ASSERT_EQ(alloc.live, 3);
  EXPECT_EQ(sd.SetOwnerSid(nullptr, false), 0u);
  EXPECT_EQ(sd.owner(), nullptr);
  EXPECT_EQ(SimSecurity::ReadDescriptor(sd.descriptor()).owner, nullptr);
  EXPECT_EQ(alloc.live, 2);
  EXPECT_EQ(sd.SetGroupSid(nullptr, false), 0u);
  EXPECT_EQ(SimSecurity::ReadDescriptor(sd.descriptor()).group, nullptr);
  EXPECT_EQ(alloc.live, 1);
}

TEST_F(SecurityDescriptorTest, SettingAnOwnerClearsTheOldOneBeforeFreeingIt) {
  CProcessSecurityDescriptor sd(security, alloc);
  ASSERT_EQ(sd.Reset(), 0u);
  SidBytes first = sim::MakeSid(5, {18});
  SidBytes second = sim::MakeSid(5, {32, 544});
  ASSERT_EQ(sd.SetOwnerSid(first.data(), false), 0u);
  const void* firstCopy = sd.owner();
  security.ClearCalls();
  ASSERT_EQ(sd.SetOwnerSid(second.data(), false), 0u);
  auto sets = security.CallsOf(Op::SetOwner);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].sid, nullptr) << "the descriptor lets go of the old copy first";
  EXPECT_EQ(sets[1].sid, sd.owner());
  EXPECT_NE(sd.owner(), firstCopy);
  EXPECT_EQ(SimSecurity::SidOf(sd.owner()), second);
  EXPECT_EQ(alloc.live, 2);
}

TEST_F(SecurityDescriptorTest, OwnerOrGroupWithoutADescriptorIsRefused) {
  CProcessSecurityDescriptor sd(security, alloc);
  SidBytes sid = sim::MakeSid(5, {18});
  EXPECT_EQ(sd.SetOwnerSid(sid.data(), false), 0x8000FFFFu);
  EXPECT_EQ(sd.SetGroupSid(sid.data(), false), 0x8000FFFFu);
  EXPECT_TRUE(security.Calls().empty());
  EXPECT_EQ(alloc.live, 0);
}

TEST_F(SecurityDescriptorTest, GroupCopyStaysWithTheCallerWhenAlreadyHandedOut) {
  security.faults().FailNth(Op::GetTokenInformation, 3, err::kAccessDenied);
  TokenSids sids;
  EXPECT_EQ(ReadProcessTokenSids(security, &sids, alloc), 0x80070005u);
  ASSERT_TRUE(sids.user);
  EXPECT_EQ(SimSecurity::SidOf(sids.user.get()), security.processIdentity().user);
  EXPECT_FALSE(sids.group);
  EXPECT_EQ(alloc.live, 1) << "only the user copy is held";
}

TEST_F(SecurityDescriptorTest, TokenReadsAskTheSizeFirst) {
  security.SetThreadIdentity(kImpersonated);
  TokenSids sids;
  ASSERT_EQ(ReadThreadTokenSids(security, true, &sids, alloc), 0u);
  EXPECT_TRUE(security.CallsOf(Op::OpenThreadToken)[0].flag) << "opened as self";
  auto info = security.CallsOf(Op::GetTokenInformation);
  ASSERT_EQ(info.size(), 4u);
  EXPECT_EQ(info[0].value, sec::kTokenUser);
  EXPECT_EQ(info[0].descriptor, nullptr) << "size query without a buffer";
  EXPECT_EQ(info[0].result, err::kInsufficientBuffer);
  EXPECT_EQ(info[1].value, sec::kTokenUser);
  EXPECT_NE(info[1].descriptor, nullptr);
  EXPECT_EQ(info[2].value, sec::kTokenPrimaryGroup);
  EXPECT_EQ(info[2].descriptor, nullptr);
  EXPECT_EQ(info[3].value, sec::kTokenPrimaryGroup);
  EXPECT_EQ(SimSecurity::SidOf(sids.user.get()), kImpersonated.user);
  EXPECT_EQ(SimSecurity::SidOf(sids.group.get()), kImpersonated.group);
}

// One failing step of building the descriptor from the process token.
struct Failure {
  const char* name;
  Op op;          // the failing operation (ignored for an allocation)
  unsigned nth;   // which call of it fails
  bool allocation;
  WinError error;
  HResult expected;
  bool descriptorKept;  // whether a descriptor remains afterwards
};

class BuildFailureTest : public SecurityDescriptorTest,
                         public ::testing::WithParamInterface<Failure> {};

TEST_P(BuildFailureTest, GivesItsStatusAndLeaksNothing) {
  const Failure& f = GetParam();
  if (f.allocation) {
    alloc.failAt = f.nth;
  } else {
    security.faults().FailNth(f.op, f.nth, f.error);
  }
  {
    CProcessSecurityDescriptor sd(security, alloc);
    EXPECT_EQ(sd.BuildFromThreadToken(false, true), f.expected);
    EXPECT_EQ(sd.descriptor() != nullptr, f.descriptorKept);
    EXPECT_EQ(security.OpenTokenCount(), 0u);
    if (sd.descriptor()) {
      // Whatever the descriptor refers to is its own, live copy.
      auto v = SimSecurity::ReadDescriptor(sd.descriptor());
      EXPECT_EQ(v.owner, sd.owner());
      EXPECT_EQ(v.group, sd.group());
    }
  }
  EXPECT_EQ(alloc.live, 0) << "every buffer was freed";
}

constexpr WinError kErr = 31;  // ERROR_GEN_FAILURE
constexpr HResult kHr = 0x8007001Fu;

INSTANTIATE_TEST_SUITE_P(
    EveryStep, BuildFailureTest,
    ::testing::Values(
        Failure{"DescriptorAllocation", Op::CopySid, 1, true, 0, hr::kOutOfMemory, false},
        Failure{"InitializeDescriptor", Op::InitializeDescriptor, 1, false, kErr, kHr, false},
        Failure{"OpenProcessToken", Op::OpenProcessToken, 1, false, kErr, kHr, true},
        Failure{"UserSizeQuery", Op::GetTokenInformation, 1, false, kErr, kHr, true},
        Failure{"UserRecordAllocation", Op::CopySid, 2, true, 0, hr::kOutOfMemory, true},
        Failure{"UserRecordRead", Op::GetTokenInformation, 2, false, kErr, kHr, true},
        Failure{"UserCopyAllocation", Op::CopySid, 3, true, 0, hr::kOutOfMemory, true},
        Failure{"UserCopy", Op::CopySid, 1, false, kErr, kHr, true},
        Failure{"GroupSizeQuery", Op::GetTokenInformation, 3, false, kErr, kHr, true},
        Failure{"GroupRecordAllocation", Op::CopySid, 4, true, 0, hr::kOutOfMemory, true},
        Failure{"GroupRecordRead", Op::GetTokenInformation, 4, false, kErr, kHr, true},
        Failure{"GroupCopyAllocation", Op::CopySid, 5, true, 0, hr::kOutOfMemory, true},
        Failure{"GroupCopy", Op::CopySid, 2, false, kErr, kHr, true},
        Failure{"OwnerClear", Op::SetOwner, 1, false, kErr, kHr, true},
        Failure{"OwnerCopyAllocation", Op::CopySid, 6, true, 0, hr::kOutOfMemory, true},
        Failure{"OwnerCopy", Op::CopySid, 3, false, kErr, kHr, true},
        Failure{"OwnerSet", Op::SetOwner, 2, false, kErr, kHr, true},
        Failure{"GroupClear", Op::SetGroup, 1, false, kErr, kHr, true},
        Failure{"GroupSidCopyAllocation", Op::CopySid, 7, true, 0, hr::kOutOfMemory, true},
        Failure{"GroupSidCopy", Op::CopySid, 4, false, kErr, kHr, true},
        Failure{"GroupSet", Op::SetGroup, 2, false, kErr, kHr, true}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

TEST_F(SecurityDescriptorTest, FailureToSetTheDaclIsNotLookedAt) {
  security.faults().FailNext(Op::SetDacl, kErr);
  CProcessSecurityDescriptor sd(security, alloc);
  EXPECT_EQ(sd.BuildFromThreadToken(false, true), 0u);
}

TEST_F(SecurityDescriptorTest, SizeQueryAnsweringOtherThanTooSmallEndsTheRead) {
  // Any answer but 122 to the size query ends the read with that answer.
  security.faults().FailNext(Op::GetTokenInformation, err::kNoToken);
  TokenSids sids;
  EXPECT_EQ(ReadProcessTokenSids(security, &sids, alloc), 0x800703F0u);
  EXPECT_EQ(security.CallsOf(Op::GetTokenInformation).size(), 1u);
  EXPECT_FALSE(sids.user);
}

// Forwards to the simulated runtime and notes what the security functions
// had done when CoInitializeSecurity came.
class WatchingCom final : public Com {
 public:
  WatchingCom(SimCom& com, SimSecurity& security) : com_(com), security_(security) {}
  HResult CoInitializeEx(std::uint32_t flags) override { return com_.CoInitializeEx(flags); }
  HResult CoInitialize() override { return com_.CoInitialize(); }
  void CoUninitialize() override { com_.CoUninitialize(); }
  HResult CoInitializeSecurity(const void* d, std::int32_t n, const void* s, void* r1,
                               std::uint32_t a, std::uint32_t i, void* l, std::uint32_t c,
                               void* r3) override {
    securityCallsBefore = security_.Calls().size();
    if (d) seen = SimSecurity::ReadDescriptor(d);
    return com_.CoInitializeSecurity(d, n, s, r1, a, i, l, c, r3);
  }
  HResult CoRegisterClassObject(const Guid& clsid, ComUnknown* f, std::uint32_t ctx,
                                std::uint32_t flags, std::uint32_t* cookie) override {
    return com_.CoRegisterClassObject(clsid, f, ctx, flags, cookie);
  }
  HResult CoRevokeClassObject(std::uint32_t cookie) override {
    return com_.CoRevokeClassObject(cookie);
  }
  std::size_t securityCallsBefore = 0;
  SimSecurity::DescriptorView seen;

 private:
  SimCom& com_;
  SimSecurity& security_;
};

TEST_F(SecurityDescriptorTest, ProcessSecurityIsSetOnceWithTheBuiltDescriptor) {
  WatchingCom watching(com, security);
  ASSERT_EQ(watching.CoInitializeEx(com::kMultithreaded), 0u);
  {
    CProcessSecurityDescriptor sd(security, alloc);
    EXPECT_EQ(InitializeProcessSecurity(watching, sd), 0u);

    auto calls = com.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, SimCom::Op::InitializeEx);
    const SimCom::Call& c = calls[1];
    EXPECT_EQ(c.op, SimCom::Op::InitializeSecurity);
    EXPECT_EQ(c.object, sd.descriptor());
    EXPECT_EQ(c.authServiceCount, -1);
    EXPECT_EQ(c.authServices, nullptr);
    EXPECT_EQ(c.reserved1, nullptr);
    EXPECT_EQ(c.authnLevel, 4u);
    EXPECT_EQ(c.impLevel, 3u);
    EXPECT_EQ(c.authList, nullptr);
    EXPECT_EQ(c.capabilities, 0u);
    EXPECT_EQ(c.reserved3, nullptr);

    // The descriptor was complete when COM got it.
    EXPECT_EQ(watching.securityCallsBefore, security.Calls().size());
    EXPECT_TRUE(watching.seen.daclPresent());
    EXPECT_EQ(watching.seen.dacl, nullptr);
    EXPECT_EQ(SimSecurity::SidOf(watching.seen.owner), security.processIdentity().user);
    EXPECT_EQ(SimSecurity::SidOf(watching.seen.group), security.processIdentity().group);
    EXPECT_FALSE(watching.seen.ownerDefaulted());

    // A second set-up is too late, as on Windows.
    CProcessSecurityDescriptor again(security, alloc);
    EXPECT_EQ(InitializeProcessSecurity(watching, again), com::kTooLate);
    // The descriptor lives on until after COM is uninitialised.
    watching.CoUninitialize();
    EXPECT_NE(sd.descriptor(), nullptr);
  }
  EXPECT_EQ(alloc.live, 0);
  EXPECT_EQ(com.TotalApartmentDepth(), 0u);
}

TEST_F(SecurityDescriptorTest, ProcessSecurityGoesAheadWithoutADescriptor) {
  alloc.failAt = 1;
  CProcessSecurityDescriptor sd(security, alloc);
  InitializeProcessSecurity(com, sd);
  auto calls = com.CallsOf(SimCom::Op::InitializeSecurity);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].object, nullptr) << "none when the descriptor could not be made";
  EXPECT_EQ(Count(Op::OpenThreadToken), 0u) << "no token is read without a descriptor";
}

TEST_F(SecurityDescriptorTest, ProcessSecurityAfterATokenFailureHasNoOwnerOrGroup) {
  security.faults().FailNext(Op::OpenThreadToken, err::kAccessDenied);
  CProcessSecurityDescriptor sd(security, alloc);
  InitializeProcessSecurity(com, sd);
  auto calls = com.CallsOf(SimCom::Op::InitializeSecurity);
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_NE(calls[0].object, nullptr);
  auto v = SimSecurity::ReadDescriptor(calls[0].object);
  EXPECT_TRUE(v.daclPresent());
  EXPECT_EQ(v.owner, nullptr);
  EXPECT_EQ(v.group, nullptr);
}

}  // namespace
}  // namespace talv
