// The Exchange location set: the fifteen reads, the readers' limits and the
// drive-letter rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/exchange_paths.h"
#include "platform/sim/sim_registry.h"

namespace talv {
namespace {

const char16_t* const kIS = u"System\\CurrentControlSet\\Services\\MSExchangeIS\\ParametersSystem";
const char16_t* const kDS = u"System\\CurrentControlSet\\Services\\MSExchangeDS\\Parameters";

class ExchangePathsTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(registry.OpenKeyCount(), 0u); }
  std::vector<char16_t> Letters(const CExchangePathList& list) {
    std::vector<char16_t> out(28, 0xFFFF);
    out.resize(list.CollectDriveLetters(out.data()));
    return out;
  }
  std::vector<char16_t> LettersOf(std::initializer_list<const char16_t*> paths) {
    CExchangePathList list(registry);
    for (auto* p : paths) list.AddDirPath(p);
    return Letters(list);
  }
  sim::SimRegistry registry;
};

TEST_F(ExchangePathsTest, FifteenReadsInTheirOrderWithTheirKinds) {
  struct Row {
    const char16_t* key;
    const char16_t* value;
    PathKind kind;
  };
  const std::u16string s = u"System\\CurrentControlSet\\Services\\";
  const std::vector<std::pair<std::u16string, std::pair<std::u16string, PathKind>>> rows = {
      {s + u"MSExchangeIS\\ParametersPrivate", {u"DB Path", kPathFile}},
      {s + u"MSExchangeIS\\ParametersPublic", {u"DB Path", kPathFile}},
      {s + u"MSExchangeIS\\ParametersSystem", {u"DB Log Path", kPathDir}},
      {s + u"MSExchangeIS\\ParametersSystem", {u"IMAP4 Protocol Log Path", kPathDir}},
      {s + u"MSExchangeIS\\ParametersSystem", {u"NNTP Protocol Log Path", kPathDir}},
      {s + u"MSExchangeIS\\ParametersSystem", {u"POP3 Protocol Log Path", kPathDir}},
      {s + u"MSExchangeDS\\Parameters", {u"Database Log files path", kPathDir}},
      {s + u"MSExchangeDS\\Parameters", {u"DSA Database file", kPathFile}},
      {s + u"MSExchangeDS\\Parameters", {u"DSA Hierarchy table file", kPathFile}},
      {s + u"MSExchangeDS\\Parameters", {u"DSA Temporary file", kPathFile}},
      {s + u"MSExchangeDS\\Parameters", {u"DSA Working directory", kPathDir}},
      {s + u"MSExchangeMTA\\Parameters", {u"MTA Database Path", kPathDir}},
      {s + u"MSExchangeCCMC\\Parameters", {u"Connector Store Path", kPathDir}},
      {s + u"MSExchangeSA\\Parameters", {u"LogDirectory", kPathDir}},
      {s + u"MSExchangeWEB\\Parameters", {u"RFC1967SaveDirectory", kPathDir}},
  };
  // Each value holds its own row number, so the order can be read back.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::u16string text = u"X:\\row";
    text += static_cast<char16_t>(u'A' + i);
    registry.PutString(reg::kLocalMachine, rows[i].first, rows[i].second.first, text);
  }
  CExchangePathList list(registry);
  list.ReadExchangePaths();
  ASSERT_EQ(list.size(), 15u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(list.at(i).path()[6], static_cast<char16_t>(u'A' + i)) << "row " << i + 1;
    EXPECT_EQ(list.at(i).kind(), rows[i].second.second) << "row " << i + 1;
  }
  // Each read opened and closed its own key.
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::Open), 15u);
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::Close), 15u);
}

TEST_F(ExchangePathsTest, MissingKeysAndValuesAreSkipped) {
  CExchangePathList list(registry);
  list.ReadExchangePaths();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_TRUE(Letters(list).empty());

  registry.PutString(reg::kLocalMachine, kIS, u"DB Log Path", u"E:\\logs");
  registry.PutString(reg::kLocalMachine, kDS, u"DSA Working directory", u"e:\\dsadata");
  CExchangePathList two(registry);
  two.ReadExchangePaths();
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(Letters(two), (std::vector<char16_t>{u'E', u'e'}));
}

TEST_F(ExchangePathsTest, ReaderResults) {
  CExchangePathList list(registry);
  EXPECT_EQ(list.ReadDirPathValue(reg::kLocalMachine, kIS, u"DB Log Path"), err::kFileNotFound);
  registry.PutKey(reg::kLocalMachine, kIS);
  EXPECT_EQ(list.ReadDirPathValue(reg::kLocalMachine, kIS, u"DB Log Path"), err::kFileNotFound);
  registry.PutString(reg::kLocalMachine, kIS, u"db log path", u"F:\\x");
  EXPECT_EQ(list.ReadDirPathValue(reg::kLocalMachine, kIS, u"DB Log Path"), 0u);
  registry.DenyKey(reg::kLocalMachine, kIS, reg::kRead);
  EXPECT_EQ(list.ReadFilePathValue(reg::kLocalMachine, kIS, u"DB Log Path"), err::kAccessDenied);
  registry.ClearDenials();
  registry.faults().FailNext(sim::SimRegistry::Op::Query, 1450);
  EXPECT_EQ(list.ReadFilePathValue(reg::kLocalMachine, kIS, u"DB Log Path"), 1450u);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.at(0).kind(), kPathDir);
}

TEST_F(ExchangePathsTest, PathOf261CharactersIsReadAnd262IsSkipped) {
  std::u16string p261 = u"G:\\" + std::u16string(258, u'a');
  std::u16string p262 = u"H:\\" + std::u16string(259, u'b');
  registry.PutString(reg::kLocalMachine, kIS, u"A", p261);
  registry.PutString(reg::kLocalMachine, kIS, u"B", p262);
  CExchangePathList list(registry);
  EXPECT_EQ(list.ReadDirPathValue(reg::kLocalMachine, kIS, u"A"), 0u);
  EXPECT_EQ(list.ReadDirPathValue(reg::kLocalMachine, kIS, u"B"), err::kMoreData);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(std::u16string(list.at(0).path()), p261);
}

TEST_F(ExchangePathsTest, UnterminatedEmptyAndForeignDataStaySafeStrings) {
  // 524 bytes of letters with no terminator at all.
  std::u16string full(262, u'Q');
  full[1] = u':';
  registry.Put(reg::kLocalMachine, kIS, u"Full", reg::kSz, full.data(), 524);
  std::u16string two = u"K:";
  registry.Put(reg::kLocalMachine, kIS, u"NoZero", reg::kSz, two.data(), 4);
  registry.Put(reg::kLocalMachine, kIS, u"Empty", reg::kSz, nullptr, 0);
  std::uint8_t odd[3] = {'M', 0, ':'};
  registry.Put(reg::kLocalMachine, kIS, u"Odd", reg::kBinary, odd, 3);
  registry.PutDword(reg::kLocalMachine, kIS, u"Dword", 0x003A0044);  // "D:" as two units
  registry.PutString(reg::kLocalMachine, kIS, u"Env", u"%SystemDrive%\\exch", reg::kExpandSz);
  CExchangePathList list(registry);
  for (auto* v : {u"Full", u"NoZero", u"Empty", u"Odd", u"Dword", u"Env"})
    EXPECT_EQ(list.ReadDirPathValue(reg::kLocalMachine, kIS, v), 0u);
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(std::u16string(list.at(0).path()), full);
  EXPECT_EQ(std::u16string(list.at(1).path()), u"K:");
  EXPECT_EQ(std::u16string(list.at(2).path()), u"");
  EXPECT_EQ(std::u16string(list.at(3).path()), u"M") << "the odd last byte is dropped";
  EXPECT_EQ(Letters(list), (std::vector<char16_t>{u'Q', u'K', 0, u'D'}));
}

TEST_F(ExchangePathsTest, DriveLetterRules) {
  EXPECT_EQ(LettersOf({u"F:\\a", u"E:\\b", u"F:\\c", u"G:\\d", u"E:\\e"}),
            (std::vector<char16_t>{u'F', u'E', u'G'}));
  EXPECT_EQ(LettersOf({u"e:\\x", u"E:\\y"}), (std::vector<char16_t>{u'e', u'E'}));
  EXPECT_EQ(LettersOf({u"Z:"}), (std::vector<char16_t>{u'Z'}));
  EXPECT_EQ(LettersOf({u"\\\\server\\share", u"relative\\dir", u"C", u""}),
            (std::vector<char16_t>{0}));
  EXPECT_EQ(LettersOf({u"7:\\odd"}), (std::vector<char16_t>{u'7'}));
  EXPECT_EQ(LettersOf({u"E:\\1", u"\\\\s\\x", u"E:\\2", u"rel", u"x", u"E:\\3"}),
            (std::vector<char16_t>{u'E', 0}));
  CExchangePath bare(nullptr);
  EXPECT_EQ(bare.GetDriveLetter(), 0);
  EXPECT_EQ(bare.kind(), kPathNone);
}

}  // namespace
}  // namespace talv
