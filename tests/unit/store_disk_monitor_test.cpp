// The monitor window and its check cycle: creation, the timer, the letters
// visited, the warnings and the one shutdown per cycle, and the busy flag.
#include <gtest/gtest.h>

#include "monitor/settings.h"
#include "tests/unit/monitor_world.h"

namespace talv::test {
namespace {

const std::u16string kServices = u"System\\CurrentControlSet\\Services\\";

class StoreDiskMonitorTest : public MonitorWorld {
 protected:
  // Writes the given paths into the first Exchange location values, in
  // the order the monitor reads them.
  void SetLocations(std::initializer_list<const char16_t*> paths) {
    static const std::pair<const char16_t*, const char16_t*> kRows[] = {
        {u"MSExchangeIS\\ParametersPrivate", u"DB Path"},
        {u"MSExchangeIS\\ParametersPublic", u"DB Path"},
        {u"MSExchangeIS\\ParametersSystem", u"DB Log Path"},
        {u"MSExchangeIS\\ParametersSystem", u"IMAP4 Protocol Log Path"},
        {u"MSExchangeIS\\ParametersSystem", u"NNTP Protocol Log Path"},
        {u"MSExchangeIS\\ParametersSystem", u"POP3 Protocol Log Path"},
    };
    std::size_t i = 0;
    for (const char16_t* p : paths) {
      ASSERT_LT(i, std::size(kRows));
      sim.registry.PutString(reg::kLocalMachine, kServices + kRows[i].first, kRows[i].second, p);
      ++i;
    }
  }
  void SetMinutes(std::uint32_t minutes) {
    sim.registry.PutDword(reg::kLocalMachine, kSettingsKey, u"CheckEveryMinutes", minutes);
  }
  void Create() {
    ASSERT_EQ(monitor->Create(CStoreDiskMonitor::DefaultCreateParams(sim.windowing)), 0u);
    hwnd = monitor->GetSafeHwnd();
    ASSERT_NE(hwnd, 0u);
  }
  // Takes the next message from the loop (the clock moves on to the
  // timer) and dispatches it.
  void Tick() {
    WindowMessage m;
    ASSERT_EQ(sim.windowing.GetMessage(&m), 1);
    ASSERT_EQ(m.message, wm::kTimer);
    sim.windowing.DispatchMessage(m);
  }
  void TearDown() override {
    if (monitor && monitor->GetSafeHwnd() != 0) monitor->DestroyWindow();
    MonitorWorld::TearDown();
  }
  WindowHandle hwnd = 0;
};

TEST_F(StoreDiskMonitorTest, TheWindowIsAHiddenStaticChildOfTheDesktop) {
  Create();
  auto info = sim.windowing.Info(hwnd);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->className, u"STATIC");
  EXPECT_EQ(info->title, u"TALVWardstone");
  EXPECT_EQ(info->style, wm::kStyleChild);  // not visible
  EXPECT_EQ(info->exStyle, 0u);
  EXPECT_EQ(info->x, -1);
  EXPECT_EQ(info->y, -1);
  EXPECT_EQ(info->width, 1);
  EXPECT_EQ(info->height, 1);
  EXPECT_EQ(info->parent, sim.windowing.DesktopWindow());
  EXPECT_EQ(info->childId, 1u);
}

TEST_F(StoreDiskMonitorTest, CreationReadsOnceStartsTheTimerAndChecksNothingYet) {
  InstallStorage();
  SetMinutes(5);
  sim.registry.PutDword(reg::kLocalMachine, kSettingsKey, u"FreePoolSpaceThresholdMB", 77);
  SetLocations({u"E:\\db"});
  AddPool(u"P1", 0, u"E");
  RunExchange();
  Create();
  EXPECT_EQ(monitor->m_nCheckIntervalSec, 300u);
  EXPECT_EQ(monitor->m_nThresholdMB, 77u);
  EXPECT_EQ(monitor->m_nTimerId, 1u);
  EXPECT_EQ(sim.windowing.TimerPeriod(hwnd, 1), 300000u);
  EXPECT_TRUE(storage.calls.empty());
  ExpectNothingOpen();
  // A later change in the registry is not seen by the running monitor.
  SetLocations({u"F:\\db"});
  sim.registry.PutDword(reg::kLocalMachine, kSettingsKey, u"FreePoolSpaceThresholdMB", 1);
  Tick();
  EXPECT_EQ(sim.clock.NowMs(), 300000u);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"P1", u"E", u"77"), kStarts, kDone}));
}

TEST_F(StoreDiskMonitorTest, LongIntervalsAreHeldToTheLongestTimerPeriod) {
  SetMinutes(71583);  // 4294980 s, more milliseconds than 32 bits hold
  Create();
  EXPECT_EQ(monitor->m_nCheckIntervalSec, 4294980u);
  EXPECT_EQ(sim.windowing.TimerPeriod(hwnd, 1), 0x7FFFFFFFu);
}

TEST_F(StoreDiskMonitorTest, ATimerThatCannotStartMeansNoCycleAndNoReport) {
  sim.windowing.faults().FailNext(sim::SimWindowing::Op::SetTimer, err::kInvalidWindowHandle);
  Create();
  EXPECT_EQ(monitor->m_nTimerId, 0u);
  EXPECT_EQ(sim.windowing.TimerCount(), 0u);
  EXPECT_TRUE(sim.eventLog.Events().empty());
}

TEST_F(StoreDiskMonitorTest, DestroyingTheWindowStopsTheTimer) {
  Create();
  EXPECT_EQ(sim.windowing.TimerCount(), 1u);
  auto kills = sim.windowing.faults().Calls(sim::SimWindowing::Op::KillTimer);
  EXPECT_EQ(monitor->DestroyWindow(), 0u);
  EXPECT_EQ(sim.windowing.faults().Calls(sim::SimWindowing::Op::KillTimer), kills + 1);
  EXPECT_EQ(sim.windowing.TimerCount(), 0u);
  EXPECT_EQ(monitor->GetSafeHwnd(), 0u);
}

TEST_F(StoreDiskMonitorTest, DistinctLettersAreVisitedOnceInOrderOfFirstOccurrence) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a", u"F:\\b", u"E:\\c", u"G:\\d", u"F:\\e"});
  AddPool(u"PG", 1, u"G");
  AddPool(u"PF", 1, u"F");
  AddPool(u"PE", 1, u"E");
  Create();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PE", u"E"), Low(u"PF", u"F"),
                                                   Low(u"PG", u"G"), kStarts, kDone}));
  // One pool test per letter.
  std::size_t poolInfos = 0;
  for (const auto& c : storage.calls) poolInfos += c.kind == StorageCall::kInfo && c.type == zv::kPool;
  EXPECT_EQ(poolInfos, 3u);
  ExpectNothingOpen();
}

TEST_F(StoreDiskMonitorTest, LettersDifferingInCaseAreVisitedSeparately) {
  InstallStorage();
  RunExchange();
  SetLocations({u"e:\\a", u"E:\\b"});
  AddPool(u"P1", 1, u"E");
  Create();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"P1", u"e"), Low(u"P1", u"E"), kStarts, kDone}));
  EXPECT_EQ(sim.scm.StopRequests().size(), 1u);
}

TEST_F(StoreDiskMonitorTest, ALocationWithoutLetterIsNeverMatchedToADisk) {
  InstallStorage();
  RunExchange();
  SetLocations({u"\\\\server\\share\\db", u"%ExchangeRoot%\\logs", u"relative\\dir"});
  // A low pool whose disk is mounted under no letter holds no Exchange data.
  AddPool(u"Unlettered", 1, std::u16string(1, u'\0'));
  Create();
  Tick();
  EXPECT_TRUE(Events().empty());
  EXPECT_TRUE(sim.scm.StopRequests().empty());
  EXPECT_TRUE(storage.calls.empty());
}

TEST_F(StoreDiskMonitorTest, OnlyTheLowLetterIsReportedAndTheShutdownComesAfterTheLast) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a", u"F:\\b", u"G:\\c"});
  AddPool(u"PE", 1u << 20, u"E");
  AddPool(u"PF", 1, u"F");
  AddPool(u"PG", 1u << 20, u"G");
  storage.onList = [&] {
    // Nothing is stopped before the last letter has been looked up.
    EXPECT_TRUE(sim.scm.StopRequests().empty());
  };
  Create();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PF", u"F"), kStarts, kDone}));
  EXPECT_EQ(storage.calls.back().parent, u"PG");
  EXPECT_EQ(sim.scm.StopRequests().size(), 1u);
  ExpectNothingOpen();
}

TEST_F(StoreDiskMonitorTest, TwoLowPoolsGiveTwoWarningsAndOneShutdown) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a", u"F:\\b"});
  AddPool(u"PoolOfE", 1, u"E");
  AddPool(u"PF", 1, u"F");
  storage.poolNameBytes = true;
  Create();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PoolOfE", u"E"), Low(u"PF", u"F"), kStarts, kDone}));
  // The name buffer goes back to the library cleared behind its terminator:
  // nothing of the stack, nor of the letter before.
  std::size_t pools = 0;
  for (const StorageCall& c : storage.calls) {
    if (c.kind != StorageCall::kInfo || c.type != zv::kPool) continue;
    ++pools;
    for (std::size_t i = 2 * c.parent.size(); i < c.parentBytes.size(); ++i)
      EXPECT_EQ(c.parentBytes[i], 0) << "byte " << i;
  }
  EXPECT_EQ(pools, 2u);
}

TEST_F(StoreDiskMonitorTest, ALowPoolWithExchangeStoppedStillCountsButSaysNothing) {
  InstallStorage();
  SetLocations({u"E:\\a"});
  AddPool(u"PE", 1, u"E");
  Create();
  Tick();
  EXPECT_TRUE(sim.eventLog.Events().empty());
  // Exchange started again while the pool is still low: the next tick acts.
  RunExchange();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PE", u"E"), kStarts, kDone}));
  // And the tick after that finds Exchange stopped.
  Tick();
  EXPECT_EQ(Events().size(), 3u);
}

TEST_F(StoreDiskMonitorTest, AnEmptyLocationSetDoesNothingOnATick) {
  InstallStorage();
  RunExchange();
  AddPool(u"PE", 1, u"E");
  Create();
  auto managerOpens = sim.scm.faults().Calls(sim::SimServiceManager::Op::OpenManager);
  Tick();
  Tick();
  EXPECT_TRUE(storage.calls.empty());
  EXPECT_EQ(sim.scm.faults().Calls(sim::SimServiceManager::Op::OpenManager), managerOpens);
  EXPECT_TRUE(sim.eventLog.Events().empty());
  EXPECT_EQ(sim.libraries.LoadCallCount(u"zvapi.dll"), 0u);
}

TEST_F(StoreDiskMonitorTest, ATickDuringACycleIsDropped) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a", u"F:\\b"});
  AddPool(u"PE", 1, u"E");
  AddPool(u"PF", 1, u"F");
  Create();
  bool nested = false;
  storage.onList = [&] {
    if (nested) return;
    nested = true;
    EXPECT_EQ(monitor->m_bChecking, 1);
    std::size_t calls = storage.calls.size();
    auto events = sim.eventLog.Events().size();
    // A timer message dispatched from within the cycle.
    sim.windowing.DispatchMessage(WindowMessage{hwnd, wm::kTimer, 1, 0});
    EXPECT_EQ(storage.calls.size(), calls);
    EXPECT_EQ(sim.eventLog.Events().size(), events);
    EXPECT_EQ(monitor->m_bChecking, 1);
  };
  Tick();
  EXPECT_TRUE(nested);
  EXPECT_EQ(monitor->m_bChecking, 0);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PE", u"E"), Low(u"PF", u"F"), kStarts, kDone}));
}

TEST_F(StoreDiskMonitorTest, AnyTimerIdentifierRunsTheCycle) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a"});
  AddPool(u"PE", 1, u"E");
  Create();
  sim.windowing.DispatchMessage(WindowMessage{hwnd, wm::kTimer, 7, 0});
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PE", u"E"), kStarts, kDone}));
}

TEST_F(StoreDiskMonitorTest, LettersWithoutPoolOrInformationAreSkippedAndTriedAgain) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a", u"F:\\b", u"G:\\c"});
  FakePool& pf = AddPool(u"PF", 1, u"F");
  pf.infoFails = true;
  AddPool(u"PG", 1, u"G");
  Create();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PG", u"G"), kStarts, kDone}));
  sim.eventLog.ClearEvents();
  storage.pools[0].infoFails = false;
  AddPool(u"PE", 1, u"E");
  RunExchange();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PE", u"E"), Low(u"PF", u"F"),
                                                   Low(u"PG", u"G"), kStarts, kDone}));
}

}  // namespace
}  // namespace talv::test
