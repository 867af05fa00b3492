// The system port's contract: error mode, last error, string table, command
// line, module file name, short path names and ANSI conversion, with the
// same expectations against the simulator and against Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

System& S() { return CurrentEnv().system(); }

bool EndsWithExe(const std::u16string& s) {
  if (s.size() < 4) return false;
  std::u16string tail = s.substr(s.size() - 4);
  for (auto& c : tail)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return tail == u".exe";
}

TEST(SystemContract, SetErrorModeReturnsThePreviousMode) {
  std::uint32_t old = S().SetErrorMode(0x8001);
  EXPECT_EQ(S().GetErrorMode(), 0x8001u);
  EXPECT_EQ(S().SetErrorMode(old | 0x8001), 0x8001u);
  EXPECT_EQ(S().SetErrorMode(old), old | 0x8001);
  EXPECT_EQ(S().GetErrorMode(), old);
}

TEST(SystemContract, LastErrorIsPerThread) {
  // The threads hand over through an atomic only: waiting on anything of
  // the platform could change the last errors under test.
  std::atomic<int> stage{0};
  WinError other = 0;
  std::thread t([&] {
    S().SetLastError(5);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    other = S().GetLastError();
    stage = 3;
  });
  while (stage != 1) std::this_thread::yield();
  S().SetLastError(1234);
  stage = 2;
  while (stage != 3) std::this_thread::yield();
  WinError mine = S().GetLastError();
  t.join();
  EXPECT_EQ(other, 5u) << "this thread's error did not reach the other";
  EXPECT_EQ(mine, 1234u);
}

TEST(SystemContract, MissingStringGivesZero) {
  char16_t buf[64];
  buf[0] = u'x';
  EXPECT_EQ(S().LoadString(0, 9999, buf, 64), 0);
  EXPECT_EQ(S().LoadString(0, 100, buf, 0), 0) << "no room, nothing loaded";
  EXPECT_EQ(buf[0], u'x') << "nothing written without room";
}

TEST(SystemContract, CommandLineAndModuleFileName) {
  const char16_t* line = S().CommandLine();
  ASSERT_NE(line, nullptr);
  EXPECT_NE(line[0], 0);

  char16_t path[300];
  std::uint32_t n = S().ModuleFileName(0, path, 300);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, 300u);
  EXPECT_EQ(path[n], 0);
  EXPECT_EQ(std::u16string(path).size(), n);
  EXPECT_TRUE(EndsWithExe(path));

  char16_t cut[5] = {1, 1, 1, 1, 1};
  S().SetLastError(0);
  EXPECT_EQ(S().ModuleFileName(0, cut, 5), 5u);
  EXPECT_EQ(cut[4], 0) << "a cut name is terminated";
  EXPECT_EQ(std::u16string(cut), std::u16string(path, 4));
  EXPECT_EQ(S().GetLastError(), err::kInsufficientBuffer);
}

TEST(SystemContract, ShortPathNameOfTheExecutable) {
  char16_t path[300];
  ASSERT_GT(S().ModuleFileName(0, path, 300), 0u);
  char16_t shortPath[300];
  std::uint32_t n = S().ShortPathName(path, shortPath, 300);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, 300u);
  EXPECT_EQ(std::u16string(shortPath).size(), n);
  EXPECT_TRUE(EndsWithExe(shortPath));
  char16_t tiny[1];
  EXPECT_EQ(S().ShortPathName(path, tiny, 1), n + 1) << "too small: the size needed";

  S().SetLastError(0);
  EXPECT_EQ(S().ShortPathName(u"C:\\talv\\no\\such\\file.exe", shortPath, 300), 0u);
  EXPECT_EQ(S().GetLastError(), err::kFileNotFound);
}

TEST(SystemContract, AnsiToWide) {
  char16_t buf[10] = {};
  EXPECT_EQ(S().AnsiToWide("abc", -1, buf, 10), 4) << "the terminator counts";
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(S().AnsiToWide("abc", -1, nullptr, 0), 4) << "size query";
  EXPECT_EQ(S().AnsiToWide("abc", 2, buf, 10), 2);
  EXPECT_EQ(S().AnsiToWide("\xe9", 1, buf, 10), 1);
  EXPECT_EQ(buf[0], 0xE9);

  S().SetLastError(0);
  EXPECT_EQ(S().AnsiToWide("abc", -1, buf, 2), 0);
  EXPECT_EQ(S().GetLastError(), err::kInsufficientBuffer);
  S().SetLastError(0);
  EXPECT_EQ(S().AnsiToWide("abc", 0, buf, 10), 0);
  EXPECT_EQ(S().GetLastError(), err::kInvalidParameter);
  S().SetLastError(0);
  EXPECT_EQ(S().AnsiToWide(nullptr, -1, buf, 10), 0);
  EXPECT_EQ(S().GetLastError(), err::kInvalidParameter);
}

}  // namespace
}  // namespace talv::contract
