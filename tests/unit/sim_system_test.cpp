// The simulated system services' own extras: sleeping on the virtual clock,
// the string table the executable carries, names and paths that tests set,
// exit routines, Latin-1 conversion and fault injection.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim_system.h"
#include "resources/messages.h"

namespace talv::sim {
namespace {

class SimSystemTest : public ::testing::Test {
 protected:
  std::u16string Load(std::uint32_t id, int capacity = 256) {
    std::u16string buf(static_cast<std::size_t>(capacity), u'\0');
    int n = s.LoadString(0, id, buf.data(), capacity);
    return n > 0 ? buf.substr(0, static_cast<std::size_t>(n)) : std::u16string();
  }

  SimClock clock;
  SimSystem s{clock};
};

TEST_F(SimSystemTest, SleepMovesTheVirtualClockAndRunsWhatFallsDue) {
  bool ran = false;
  clock.At(1500, [&] { ran = true; });
  s.Sleep(1000);
  EXPECT_FALSE(ran);
  s.Sleep(1000);
  EXPECT_TRUE(ran);
  s.Sleep(0);
  EXPECT_EQ(clock.NowMs(), 2000u);
  EXPECT_EQ(s.Sleeps(), (std::vector<std::uint32_t>{1000, 1000, 0}));
  EXPECT_EQ(s.TotalSleptMs(), 2000u);
}

TEST_F(SimSystemTest, StringTableHoldsTheExecutablesTexts) {
  for (const auto& e : resources::kStringTable) EXPECT_EQ(Load(e.id), e.text) << e.id;
  char16_t buf[8];
  EXPECT_EQ(s.LoadString(SimSystem::kExecutable, 100, buf, 8), 7)
      << "the executable's own handle reads the same table";
}

TEST_F(SimSystemTest, LoadStringCutsToFitAndReportsMissingTexts) {
  char16_t buf[4] = {1, 1, 1, 1};
  EXPECT_EQ(s.LoadString(0, 101, buf, 4), 3);
  EXPECT_EQ(std::u16string(buf), u"TAL");
  s.SetLastError(0);
  EXPECT_EQ(s.LoadString(0, 199, buf, 4), 0);
  EXPECT_EQ(s.GetLastError(), err::kResourceNameNotFound);
  EXPECT_EQ(s.LoadString(0x7000000, 100, buf, 4), 0) << "another module has no such table";
  EXPECT_EQ(s.GetLastError(), err::kResourceDataNotFound);

  s.SetString(100, u"OTHER");
  EXPECT_EQ(Load(100), u"OTHER");
  s.SetString(101, u"");
  EXPECT_EQ(Load(101), u"") << "an empty text is no text";
  s.RemoveString(102);
  EXPECT_EQ(Load(102), u"");
  s.ResetStrings();
  EXPECT_EQ(Load(100), u"TALVMON");
  EXPECT_EQ(Load(101), u"TALV Wardstone");
}

TEST_F(SimSystemTest, NamesAndPathsThatTestsSet) {
  s.SetCommandLine(u"talvmon.exe -RegServer");
  EXPECT_EQ(std::u16string(s.CommandLine()), u"talvmon.exe -RegServer");

  s.SetModuleFileName(u"D:\\Very Long Folder\\talvmon.exe");
  char16_t buf[64];
  EXPECT_EQ(s.ModuleFileName(SimSystem::kExecutable, buf, 64), 31u);
  EXPECT_EQ(std::u16string(buf), u"D:\\Very Long Folder\\talvmon.exe");
  s.SetLastError(0);
  EXPECT_EQ(s.ModuleFileName(0x7000000, buf, 64), 0u);
  EXPECT_EQ(s.GetLastError(), err::kModNotFound);

  s.DefineShortPath(u"D:\\Very Long Folder\\talvmon.exe", u"D:\\VERYLO~1\\talvmon.exe");
  EXPECT_EQ(s.ShortPathName(u"d:\\very long folder\\TALVMON.EXE", buf, 64), 23u)
      << "paths compare without regard to case";
  EXPECT_EQ(std::u16string(buf), u"D:\\VERYLO~1\\talvmon.exe");
  s.RemoveShortPath(u"D:\\Very Long Folder\\talvmon.exe");
  EXPECT_EQ(s.ShortPathName(u"D:\\Very Long Folder\\talvmon.exe", buf, 64), 0u);
  EXPECT_EQ(s.GetLastError(), err::kFileNotFound);
}

TEST_F(SimSystemTest, AnsiIsLatinOne) {
  char16_t buf[4] = {};
  EXPECT_EQ(s.AnsiToWide("\x80\xff", 2, buf, 4), 2);
  EXPECT_EQ(buf[0], 0x80);
  EXPECT_EQ(buf[1], 0xFF);
}

namespace {
std::vector<int>* g_ran = nullptr;
void First() { g_ran->push_back(1); }
void Second() { g_ran->push_back(2); }
}  // namespace

TEST_F(SimSystemTest, ExitRoutinesRunLastFirstAndOnce) {
  std::vector<int> ran;
  g_ran = &ran;
  EXPECT_EQ(s.AtExit(&First), 0);
  EXPECT_EQ(s.AtExit(&Second), 0);
  s.faults().FailNext(SimSystem::Op::AtExit, 1);
  EXPECT_NE(s.AtExit(&First), 0);
  EXPECT_EQ(s.ExitRoutineCount(), 2u) << "a failed registration is not kept";
  s.RunExitRoutines();
  EXPECT_EQ(ran, (std::vector<int>{2, 1}));
  s.RunExitRoutines();
  EXPECT_EQ(ran.size(), 2u);
  EXPECT_EQ(s.ExitRoutineCount(), 0u);
  g_ran = nullptr;
}

TEST_F(SimSystemTest, FaultsFailWithTheirErrorAsLastError) {
  char16_t buf[64];
  s.faults().FailNext(SimSystem::Op::ModuleFileName, err::kAccessDenied);
  EXPECT_EQ(s.ModuleFileName(0, buf, 64), 0u);
  EXPECT_EQ(s.GetLastError(), err::kAccessDenied);
  s.faults().FailNext(SimSystem::Op::ShortPathName, err::kPathNotFound);
  EXPECT_EQ(s.ShortPathName(u"C:\\Program Files\\TALV\\talvmon.exe", buf, 64), 0u);
  EXPECT_EQ(s.GetLastError(), err::kPathNotFound);
  EXPECT_GT(s.ShortPathName(u"C:\\Program Files\\TALV\\talvmon.exe", buf, 64), 0u)
      << "the default executable has its short form";
  s.faults().FailNext(SimSystem::Op::AnsiToWide, err::kInvalidParameter);
  EXPECT_EQ(s.AnsiToWide("a", -1, buf, 64), 0);
  s.faults().FailNext(SimSystem::Op::LoadString, err::kResourceNameNotFound);
  EXPECT_EQ(s.LoadString(0, 100, buf, 64), 0);
  EXPECT_EQ(s.LoadString(0, 100, buf, 64), 7);
}

TEST_F(SimSystemTest, EachNewThreadStartsWithoutLastError) {
  for (int i = 0; i < 3; ++i) {
    WinError seen = 1;
    std::thread t([&] {
      seen = s.GetLastError();
      s.SetLastError(77);
    });
    t.join();
    EXPECT_EQ(seen, 0u) << "an ended thread's error does not pass to the next";
  }
}

}  // namespace
}  // namespace talv::sim
