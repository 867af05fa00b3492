// The security port's contract: tokens of the current thread and process,
// their SIDs, and absolute descriptors, against the simulator and against
// Wine's advapi32.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

class SecurityContract : public ::testing::Test {
 protected:
  void SetUp() override { tokensBefore_ = CurrentEnv().OpenTokens(); }
  void TearDown() override {
    // Every token a test opened was closed again.
    EXPECT_EQ(CurrentEnv().OpenTokens(), tokensBefore_);
  }
  Security& s() { return CurrentEnv().security(); }

  // The SID of a TokenUser or TokenPrimaryGroup record read through the
  // size query and a second call.
  std::vector<std::uint8_t> ReadSid(TokenHandle token, std::uint32_t cls) {
    std::uint32_t size = 0;
    EXPECT_EQ(s().GetTokenInformation(token, cls, nullptr, 0, &size), err::kInsufficientBuffer);
    EXPECT_GT(size, sizeof(void*));
    std::vector<std::uint8_t> record(size);
    std::uint32_t got = 0;
    EXPECT_EQ(s().GetTokenInformation(token, cls, record.data(), size, &got), 0u);
    EXPECT_EQ(got, size);
    const void* sid = sec::RecordSid(record.data());
    EXPECT_GE(sid, static_cast<const void*>(record.data()));
    EXPECT_LT(sid, static_cast<const void*>(record.data() + size)) << "the SID lies in the record";
    std::uint32_t length = s().GetLengthSid(sid);
    EXPECT_GE(length, 12u);
    std::vector<std::uint8_t> copy(length, 0xCC);
    EXPECT_EQ(s().CopySid(length - 1, copy.data(), sid), err::kInsufficientBuffer);
    EXPECT_EQ(s().CopySid(length, copy.data(), sid), 0u);
    EXPECT_EQ(std::memcmp(copy.data(), sid, length), 0);
    EXPECT_EQ(s().GetLengthSid(copy.data()), length);
    return copy;
  }

  long tokensBefore_ = 0;
};

TEST_F(SecurityContract, PseudoHandlesHaveThePlatformsValues) {
  EXPECT_EQ(s().GetCurrentProcess(), sec::kCurrentProcess);
  EXPECT_EQ(s().GetCurrentThread(), sec::kCurrentThread);
}

TEST_F(SecurityContract, ThreadWithoutImpersonationHasNoToken) {
  for (bool openAsSelf : {false, true}) {
    TokenHandle t = 0x1234;
    EXPECT_EQ(s().OpenThreadToken(s().GetCurrentThread(), sec::kTokenQuery, openAsSelf, &t),
              err::kNoToken);
    EXPECT_EQ(t, 0x1234u) << "the output stays as it was";
  }
  UniqueToken owner;
  EXPECT_EQ(OpenThread(owner, s(), sec::kTokenQuery, false), err::kNoToken);
  EXPECT_FALSE(owner);
}

TEST_F(SecurityContract, ProcessTokenYieldsUserAndGroupSids) {
  TokenHandle token = 0;
  ASSERT_EQ(s().OpenProcessToken(s().GetCurrentProcess(), sec::kTokenQuery, &token), 0u);
  EXPECT_NE(token, 0u);
  std::vector<std::uint8_t> user = ReadSid(token, sec::kTokenUser);
  std::vector<std::uint8_t> group = ReadSid(token, sec::kTokenPrimaryGroup);
  EXPECT_EQ(user[0], 1u) << "SID revision";
  EXPECT_EQ(group[0], 1u);
  EXPECT_EQ(s().CloseHandle(token), 0u);
}

TEST_F(SecurityContract, TooSmallRecordBufferGivesTheSizeNeeded) {
  UniqueToken token;
  ASSERT_EQ(OpenProcess(token, s(), sec::kTokenQuery), 0u);
  std::uint32_t needed = 0;
  ASSERT_EQ(s().GetTokenInformation(token.get(), sec::kTokenUser, nullptr, 0, &needed),
            err::kInsufficientBuffer);
  std::vector<std::uint8_t> small(needed - 1);
  std::uint32_t size = 0;
  EXPECT_EQ(s().GetTokenInformation(token.get(), sec::kTokenUser, small.data(),
                                    static_cast<std::uint32_t>(small.size()), &size),
            err::kInsufficientBuffer);
  EXPECT_EQ(size, needed);
}

TEST_F(SecurityContract, ClosedTokenIsInvalid) {
  TokenHandle token = 0;
  ASSERT_EQ(s().OpenProcessToken(s().GetCurrentProcess(), sec::kTokenQuery, &token), 0u);
  ASSERT_EQ(s().CloseHandle(token), 0u);
  std::uint32_t size = 99;
  EXPECT_EQ(s().GetTokenInformation(token, sec::kTokenUser, nullptr, 0, &size),
            err::kInvalidHandle);
  EXPECT_EQ(size, 99u);
  EXPECT_EQ(s().CloseHandle(token), err::kInvalidHandle);
}

TEST_F(SecurityContract, UniqueTokenClosesOnEveryPath) {
  UniqueToken a;
  ASSERT_EQ(OpenProcess(a, s(), sec::kTokenQuery), 0u);
  UniqueToken b = std::move(a);
  EXPECT_FALSE(a);
  EXPECT_TRUE(b);
  EXPECT_EQ(b.reset(), 0u);
  EXPECT_FALSE(b);
  // The fixture checks that nothing stayed open.
}

TEST_F(SecurityContract, DescriptorWithNullDaclOwnerAndGroup) {
  UniqueToken token;
  ASSERT_EQ(OpenProcess(token, s(), sec::kTokenQuery), 0u);
  std::vector<std::uint8_t> user = ReadSid(token.get(), sec::kTokenUser);
  std::vector<std::uint8_t> group = ReadSid(token.get(), sec::kTokenPrimaryGroup);

  ASSERT_GE(s().DescriptorSize(), 20u);
  std::vector<std::uint8_t> sd(s().DescriptorSize(), 0xCC);
  ASSERT_EQ(s().InitializeSecurityDescriptor(sd.data(), sec::kDescriptorRevision), 0u);
  EXPECT_EQ(s().SetSecurityDescriptorDacl(sd.data(), true, nullptr, false), 0u);
  EXPECT_EQ(s().SetSecurityDescriptorOwner(sd.data(), user.data(), false), 0u);
  EXPECT_EQ(s().SetSecurityDescriptorGroup(sd.data(), group.data(), true), 0u);
  EXPECT_EQ(s().SetSecurityDescriptorOwner(sd.data(), nullptr, false), 0u) << "no owner";
  EXPECT_EQ(s().SetSecurityDescriptorGroup(sd.data(), nullptr, false), 0u) << "no group";
}

TEST_F(SecurityContract, DescriptorRevisionMustBeOne) {
  std::vector<std::uint8_t> sd(s().DescriptorSize(), 0);
  EXPECT_EQ(s().InitializeSecurityDescriptor(sd.data(), 2), err::kUnknownRevision);
}

}  // namespace
}  // namespace talv::contract
