// The registry port's contract: the same expectations against the simulator
// and against Wine's real registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

class RegistryContract : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string n = info->name();
    scratch_ = std::make_unique<ScratchKey>(std::u16string(n.begin(), n.end()));
    ASSERT_NE(scratch_->key(), 0u);
    openBefore_ = CurrentEnv().OpenRegistryKeys();
  }
  void TearDown() override {
    // Every key a test opened was closed again.
    EXPECT_EQ(CurrentEnv().OpenRegistryKeys(), openBefore_);
    scratch_.reset();
  }
  Registry& r() { return CurrentEnv().registry(); }
  RegKey root() { return scratch_->key(); }

  void SetString(RegKey k, const char16_t* name, const std::u16string& text,
                 std::uint32_t type = reg::kSz) {
    ASSERT_EQ(r().SetValue(k, name, type, text.c_str(),
                           static_cast<std::uint32_t>((text.size() + 1) * 2)),
              0u);
  }

  std::unique_ptr<ScratchKey> scratch_;
  long openBefore_ = 0;
};

TEST_F(RegistryContract, CreateOpenCloseAndCreatedFlag) {
  RegKey k = 0;
  bool created = false;
  ASSERT_EQ(r().CreateKey(root(), u"A\\B\\C", reg::kAllAccess, &k, &created), 0u);
  EXPECT_TRUE(created);
  EXPECT_EQ(r().CloseKey(k), 0u);
  ASSERT_EQ(r().CreateKey(root(), u"a\\b\\c", reg::kAllAccess, &k, &created), 0u);
  EXPECT_FALSE(created) << "key names are case-insensitive";
  EXPECT_EQ(r().CloseKey(k), 0u);
  ASSERT_EQ(r().OpenKey(root(), u"A\\b", reg::kRead, &k), 0u);
  EXPECT_EQ(r().CloseKey(k), 0u);
}

TEST_F(RegistryContract, MissingKeyGivesTwoAndLeavesOutputAlone) {
  RegKey k = 0x1234;
  EXPECT_EQ(r().OpenKey(root(), u"Nope", reg::kRead, &k), err::kFileNotFound);
  EXPECT_EQ(k, 0x1234u);
  EXPECT_EQ(r().OpenKey(root(), u"Nope\\Deeper", reg::kRead, &k), err::kFileNotFound);
  EXPECT_EQ(k, 0x1234u);
}

TEST_F(RegistryContract, StringRoundTripWithSizeQuery) {
  SetString(root(), u"Path", u"E:\\exchsrvr\\mdbdata");
  std::uint32_t type = 0, size = 0;
  ASSERT_EQ(r().QueryValue(root(), u"Path", &type, nullptr, &size), 0u);
  EXPECT_EQ(type, reg::kSz);
  EXPECT_EQ(size, 40u);
  char16_t buf[64] = {};
  size = sizeof buf;
  ASSERT_EQ(r().QueryValue(root(), u"Path", &type, buf, &size), 0u);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(std::u16string(buf), u"E:\\exchsrvr\\mdbdata");
}

TEST_F(RegistryContract, ExpandableStringIsStoredAndReadUnexpanded) {
  SetString(root(), u"EventMessageFile", u"%SystemRoot%\\talvmon.exe", reg::kExpandSz);
  std::uint32_t type = 0;
  char16_t buf[64] = {};
  std::uint32_t size = sizeof buf;
  ASSERT_EQ(r().QueryValue(root(), u"EventMessageFile", &type, buf, &size), 0u);
  EXPECT_EQ(type, reg::kExpandSz);
  EXPECT_EQ(size, 50u);
  EXPECT_EQ(std::u16string(buf), u"%SystemRoot%\\talvmon.exe") << "the reader expands it, not the registry";
}

TEST_F(RegistryContract, OneCharacterStringFitsFourBytes) {
  SetString(root(), u"CheckEveryMinutes", u"5");
  std::uint32_t v = 0xAAAAAAAAu, size = 4;
  ASSERT_EQ(r().QueryValue(root(), u"CheckEveryMinutes", nullptr, &v, &size), 0u);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(v, 53u);
}

TEST_F(RegistryContract, TwoCharacterStringDoesNotFitFourBytes) {
  SetString(root(), u"CheckEveryMinutes", u"10");
  std::uint32_t v = 0, size = 4;
  EXPECT_EQ(r().QueryValue(root(), u"CheckEveryMinutes", nullptr, &v, &size), err::kMoreData);
  EXPECT_EQ(size, 6u);
}

TEST_F(RegistryContract, QwordDoesNotFitFourBytes) {
  std::uint64_t q = 5;
  ASSERT_EQ(r().SetValue(root(), u"Threshold", reg::kQword, &q, 8), 0u);
  std::uint32_t v = 0, size = 4, type = 0;
  EXPECT_EQ(r().QueryValue(root(), u"Threshold", &type, &v, &size), err::kMoreData);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, reg::kQword);
}

TEST_F(RegistryContract, ShortDataIsReadAsWritten) {
  std::uint8_t two[2] = {7, 1};
  ASSERT_EQ(r().SetValue(root(), u"Short", reg::kBinary, two, 2), 0u);
  std::uint32_t v = 0xFFFFFFFFu, size = 4;
  ASSERT_EQ(r().QueryValue(root(), u"Short", nullptr, &v, &size), 0u);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(v, 0xFFFF0107u) << "only the leading bytes are written";
}

TEST_F(RegistryContract, MissingValueGivesTwo) {
  std::uint32_t v = 9, size = 4, type = 77;
  EXPECT_EQ(r().QueryValue(root(), u"Absent", &type, &v, &size), err::kFileNotFound);
  EXPECT_EQ(v, 9u);
  EXPECT_EQ(r().DeleteValue(root(), u"Absent"), err::kFileNotFound);
}

TEST_F(RegistryContract, ValueNamesAreCaseInsensitive) {
  std::uint32_t d = 42;
  ASSERT_EQ(r().SetValue(root(), u"FreePoolSpaceThresholdMB", reg::kDword, &d, 4), 0u);
  std::uint32_t v = 0, size = 4;
  ASSERT_EQ(r().QueryValue(root(), u"freepoolspacethresholdmb", nullptr, &v, &size), 0u);
  EXPECT_EQ(v, 42u);
  d = 43;
  ASSERT_EQ(r().SetValue(root(), u"FREEPOOLSPACETHRESHOLDMB", reg::kDword, &d, 4), 0u);
  std::uint32_t values = 0;
  ASSERT_EQ(r().QueryInfoKey(root(), nullptr, &values), 0u);
  EXPECT_EQ(values, 1u) << "the second write replaced the first";
  size = 4;
  ASSERT_EQ(r().QueryValue(root(), u"FreePoolSpaceThresholdMB", nullptr, &v, &size), 0u);
  EXPECT_EQ(v, 43u);
}

TEST_F(RegistryContract, DefaultValueUnderEmptyOrNullName) {
  SetString(root(), nullptr, u"TALVMON");
  char16_t buf[16] = {};
  std::uint32_t size = sizeof buf;
  ASSERT_EQ(r().QueryValue(root(), u"", nullptr, buf, &size), 0u);
  EXPECT_EQ(std::u16string(buf), u"TALVMON");
  ASSERT_EQ(r().DeleteValue(root(), u""), 0u);
  size = sizeof buf;
  EXPECT_EQ(r().QueryValue(root(), nullptr, nullptr, buf, &size), err::kFileNotFound);
}

TEST_F(RegistryContract, RawDataOfAnyLengthAndEmptyData) {
  std::vector<std::uint8_t> big(10000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(r().SetValue(root(), u"Big", reg::kBinary, big.data(), 10000), 0u);
  std::vector<std::uint8_t> back(10000);
  std::uint32_t size = 10000;
  ASSERT_EQ(r().QueryValue(root(), u"Big", nullptr, back.data(), &size), 0u);
  EXPECT_EQ(back, big);
  ASSERT_EQ(r().SetValue(root(), u"Empty", reg::kSz, nullptr, 0), 0u);
  std::uint32_t type = 0;
  std::uint8_t b[4] = {1, 2, 3, 4};
  size = 4;
  ASSERT_EQ(r().QueryValue(root(), u"Empty", &type, b, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(type, reg::kSz);
}

TEST_F(RegistryContract, KeyWithSubkeysIsNotDeletedPlainly) {
  UniqueKey k;
  ASSERT_EQ(Create(k, r(), root(), u"Parent\\Child", reg::kAllAccess), 0u);
  k.reset();
  EXPECT_EQ(r().DeleteKey(root(), u"Parent"), err::kAccessDenied);
  EXPECT_EQ(r().DeleteKey(root(), u"parent\\CHILD"), 0u);
  EXPECT_EQ(r().DeleteKey(root(), u"Parent"), 0u);
  EXPECT_EQ(r().DeleteKey(root(), u"Parent"), err::kFileNotFound);
}

TEST_F(RegistryContract, HandleOfDeletedKeyAnswersKeyDeleted) {
  RegKey k = 0;
  ASSERT_EQ(r().CreateKey(root(), u"Doomed", reg::kAllAccess, &k, nullptr), 0u);
  ASSERT_EQ(r().DeleteKey(root(), u"Doomed"), 0u);
  std::uint32_t d = 1;
  EXPECT_EQ(r().SetValue(k, u"V", reg::kDword, &d, 4), err::kKeyDeleted);
  EXPECT_EQ(r().CloseKey(k), 0u);
}

TEST_F(RegistryContract, EnumeratesSubkeysSortedAndValues) {
  for (const char16_t* n : {u"beta", u"Alpha", u"gamma"}) {
    UniqueKey k;
    ASSERT_EQ(Create(k, r(), root(), n, reg::kAllAccess), 0u);
  }
  std::vector<std::u16string> names;
  for (std::uint32_t i = 0;; ++i) {
    char16_t name[256];
    std::uint32_t len = 256;
    WinError e = r().EnumKey(root(), i, name, &len);
    if (e == err::kNoMoreItems) break;
    ASSERT_EQ(e, 0u);
    EXPECT_EQ(len, std::u16string(name).size());
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));

  char16_t tiny[3];
  std::uint32_t len = 3;
  EXPECT_EQ(r().EnumKey(root(), 0, tiny, &len), err::kMoreData);

  SetString(root(), u"One", u"1");
  char16_t vname[64];
  std::uint32_t vlen = 64, type = 0;
  ASSERT_EQ(r().EnumValue(root(), 0, vname, &vlen, &type, nullptr, nullptr), 0u);
  EXPECT_EQ(std::u16string(vname), u"One");
  EXPECT_EQ(vlen, 3u);
  EXPECT_EQ(type, reg::kSz);
  vlen = 64;
  EXPECT_EQ(r().EnumValue(root(), 1, vname, &vlen, nullptr, nullptr, nullptr), err::kNoMoreItems);

  std::uint32_t subKeys = 0, values = 0;
  ASSERT_EQ(r().QueryInfoKey(root(), &subKeys, &values), 0u);
  EXPECT_EQ(subKeys, 3u);
  EXPECT_EQ(values, 1u);
}

TEST_F(RegistryContract, ReadOnlyHandleCannotWrite) {
  RegKey k = 0;
  ASSERT_EQ(r().OpenKey(root(), nullptr, reg::kRead, &k), 0u);
  std::uint32_t d = 1;
  EXPECT_EQ(r().SetValue(k, u"V", reg::kDword, &d, 4), err::kAccessDenied);
  EXPECT_EQ(r().DeleteValue(k, u"V"), err::kAccessDenied);
  EXPECT_EQ(r().CloseKey(k), 0u);
}

TEST_F(RegistryContract, ClosingAClosedHandleFails) {
  RegKey k = 0;
  ASSERT_EQ(r().OpenKey(root(), nullptr, reg::kRead, &k), 0u);
  ASSERT_EQ(r().CloseKey(k), 0u);
  EXPECT_EQ(r().CloseKey(k), err::kInvalidHandle);
}

TEST_F(RegistryContract, UniqueKeyClosesOnEveryPath) {
  {
    UniqueKey k;
    ASSERT_EQ(Create(k, r(), root(), u"Owned", reg::kAllAccess), 0u);
    UniqueKey moved = std::move(k);
    EXPECT_FALSE(k);
    EXPECT_TRUE(moved);
    EXPECT_EQ(Open(k, r(), root(), u"Missing", reg::kRead), err::kFileNotFound);
    EXPECT_FALSE(k) << "a failed open leaves the owner empty";
  }
  // The fixture checks that nothing stayed open.
}

}  // namespace
}  // namespace talv::contract
