// The monitor window and its check cycle: creation, the timer, the letters
// visited, the warnings and the one shutdown per cycle, and the busy flag.
#include <gtest/gtest.h>

#include <functional>

#include "monitor/settings.h"
#include "tests/doubles/exchange_locations.h"
#include "tests/unit/monitor_world.h"

namespace talv::test {
namespace {

const std::u16string kServices = u"System\\CurrentControlSet\\Services\\";

class StoreDiskMonitorTest : public MonitorWorld {
 protected:
  // Writes the given paths into the first Exchange location values, in
  // the order the monitor reads them.
  void SetLocations(const std::vector<std::u16string>& paths) {
    std::size_t i = 0;
    for (const std::u16string& p : paths) {
      ASSERT_LT(i, std::size(kExchangeLocations));
      sim.registry.PutString(reg::kLocalMachine, kServices + kExchangeLocations[i].first,
                           kExchangeLocations[i].second, p);
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"P1", u"E", u"77"),
                                                   Watch(true, u"E: pool 'P1', 0 MB free", 77, 300),
                                                   kStarts, kDone}));
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"PE", u"E"), Low(u"PF", u"F"), Low(u"PG", u"G"),
                          Watch(true, u"E: pool 'PE', 0 MB free; F: pool 'PF', 0 MB free; "
                                      u"G: pool 'PG', 0 MB free"),
                          kStarts, kDone}));
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"P1", u"e"), Low(u"P1", u"E"),
                          Watch(true, u"e: pool 'P1', 0 MB free; E: pool 'P1', 0 MB free"), kStarts,
                          kDone}));
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Watch(false, u"a location without a drive letter")}));
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"PF", u"F"),
                          Watch(true, u"E: pool 'PE', 512 MB free; F: pool 'PF', 0 MB free; "
                                      u"G: pool 'PG', 512 MB free"),
                          kStarts, kDone}));
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"PoolOfE", u"E"), Low(u"PF", u"F"),
                          Watch(true, u"E: pool 'PoolOfE', 0 MB free; F: pool 'PF', 0 MB free"),
                          kStarts, kDone}));
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
  const std::u16string watch = Watch(true, u"E: pool 'PE', 0 MB free");
  EXPECT_EQ(Events(), (std::vector<std::u16string>{watch}));
  // Exchange started again while the pool is still low: the next tick acts.
  RunExchange();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{watch, Low(u"PE", u"E"), kStarts, kDone}));
  // And the tick after that finds Exchange stopped.
  Tick();
  EXPECT_EQ(Events().size(), 4u);
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Watch(false, u"no Exchange location found")}));
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"PE", u"E"), Low(u"PF", u"F"),
                          Watch(true, u"E: pool 'PE', 0 MB free; F: pool 'PF', 0 MB free"), kStarts,
                          kDone}));
}

TEST_F(StoreDiskMonitorTest, AnyTimerIdentifierRunsTheCycle) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a"});
  AddPool(u"PE", 1, u"E");
  Create();
  sim.windowing.DispatchMessage(WindowMessage{hwnd, wm::kTimer, 7, 0});
  EXPECT_EQ(Events(), (std::vector<std::u16string>{Low(u"PE", u"E"),
                                                   Watch(true, u"E: pool 'PE', 0 MB free"), kStarts,
                                                   kDone}));
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
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"PG", u"G"),
                          Watch(false, u"E: no TALV virtual disk; F: pool 'PF', free space cannot "
                                       u"be read; G: pool 'PG', 0 MB free"),
                          kStarts, kDone}));
  sim.eventLog.ClearEvents();
  storage.pools[0].infoFails = false;
  AddPool(u"PE", 1, u"E");
  RunExchange();
  Tick();
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"PE", u"E"), Low(u"PF", u"F"), Low(u"PG", u"G"),
                          Watch(true, u"E: pool 'PE', 0 MB free; F: pool 'PF', 0 MB free; "
                                      u"G: pool 'PG', 0 MB free"),
                          kStarts, kDone}));
}

TEST_F(StoreDiskMonitorTest, TheWatchReportIsWrittenFirstAndThenOnlyWhenTheViewChanges) {
  InstallStorage();
  SetLocations({u"E:\\a", u"F:\\b"});
  AddPool(u"PE", 2048 * 500, u"E");
  AddPool(u"PF", 2048 * 300, u"F");
  Create();
  Tick();
  // Other free space, nothing else: nothing is written.
  storage.pools[0].factor1 = 2048 * 20;
  Tick();
  // F's pool cannot be read: written once.
  storage.pools[1].infoFails = true;
  Tick();
  Tick();
  // The library fails the pool listing: another view, with its status.
  storage.poolListStatus = 0x20000008;
  Tick();
  storage.poolListStatus = 0x2000000A;
  Tick();
  // The driver service goes away, then everything is back.
  sim.scm.RemoveService(u"zvdriver");
  Tick();
  sim.scm.InstallService(u"zvdriver", SimStopped());
  storage.poolListStatus = 0;
  storage.pools[1].infoFails = false;
  Tick();
  Tick();
  const char16_t* noAnswer = u"TALV storage software did not answer (status 0x";
  EXPECT_EQ(Events(),
            (std::vector<std::u16string>{
                Watch(true, u"E: pool 'PE', 500 MB free; F: pool 'PF', 300 MB free"),
                Watch(false, u"E: pool 'PE', 20 MB free; F: pool 'PF', free space cannot be read"),
                Watch(false, u"E: " + std::u16string(noAnswer) + u"20000008); F: " + noAnswer +
                                 u"20000008)"),
                Watch(false, u"E: " + std::u16string(noAnswer) + u"2000000a); F: " + noAnswer +
                                 u"2000000a)"),
                Watch(false, u"E: TALV storage software not found; F: TALV storage software not found"),
                Watch(true, u"E: pool 'PE', 20 MB free; F: pool 'PF', 300 MB free"),
            }));
  ExpectNothingOpen();
}

TEST_F(StoreDiskMonitorTest, AReportOfFifteenLettersIsWrittenWhole) {
  InstallStorage();
  std::vector<std::u16string> paths;
  std::u16string items;
  for (char16_t l = u'A'; l < u'A' + 15; ++l) {
    paths.push_back(std::u16string(1, l) + u":\\x");
    // Long pool names (their disks' names, six longer, still fit an entry).
    std::u16string pool = std::u16string(25, u'p') + l;
    AddPool(pool, 0xFFFFFFFFu, std::u16string(1, l)).factor2 = 0xFFFFFFFFu;
    if (!items.empty()) items += u"; ";
    items += std::u16string(1, l) + u": pool '" + pool + u"', 9007199250546688 MB free";
  }
  SetLocations(paths);
  Create();
  Tick();
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_GT(events[0].size(), 900u);
  EXPECT_EQ(events[0], Watch(true, items));
}

// The cycle asks the storage library exactly what the lookup and the
// free-space test ask, letter after letter.
TEST_F(StoreDiskMonitorTest, TheCycleMakesTheLookupsLibraryCallsAndNoOthers) {
  InstallStorage();
  RunExchange();
  SetLocations({u"E:\\a", u"F:\\b", u"G:\\c", u"e:\\d", u"H:\\e", u"\\\\unc\\f"});
  AddPool(u"PE", 2048 * 500, u"E");
  FakePool& broken = AddPool(u"PBroken", 1, u"X");
  broken.diskListStatus = 0x20000009;
  AddPool(u"PF", 1, u"F").infoFails = true;
  AddPool(u"PG", 1, u"GZ").disks[0].infoFails = true;
  AddPool(u"PG2", 1, u"G");
  Create();
  auto byContract = [&] {
    // What each letter costs through the two operations' own contracts.
    const char16_t letters[] = {u'E', u'F', u'G', u'e', u'H', 0};
    for (char16_t l : letters) {
      char16_t name[CStoreDiskMonitor::kPoolNameUnits] = {};
      if (monitor->FindPoolForDrive(l, name)) (void)monitor->IsPoolBelowThreshold(name);
    }
    return storage.calls;
  };
  const std::vector<StorageCall> expected = byContract();
  storage.calls.clear();
  Tick();
  ASSERT_EQ(storage.calls.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const StorageCall& a = storage.calls[i];
    const StorageCall& b = expected[i];
    EXPECT_EQ(a.kind, b.kind) << i;
    EXPECT_EQ(a.parent, b.parent) << i;
    EXPECT_EQ(a.type, b.type) << i;
    EXPECT_EQ(a.sizeIn, b.sizeIn) << i;
    EXPECT_EQ(a.subject, b.subject) << i;
  }
  EXPECT_GT(expected.size(), 20u);
}

struct CheckRow {
  const char* name;
  std::function<void()> world;
  int code;
  std::u16string output;
};

TEST_F(StoreDiskMonitorTest, TheCheckPrintsTheViewAndAnswersWithACheckExitCode) {
  const std::u16string settings = u"Threshold 10 MB, checked every 60 seconds.\r\n";
  const CheckRow rows[] = {
      {"ok",
       [this] {
         AddPool(u"PE", 2048 * 812, u"EF");
       },
       0,
       u"TALVMON OK - every Exchange drive is watched, no pool below 10 MB\r\n"
       u"E: pool 'PE', 812 MB free\r\nF: pool 'PE', 812 MB free\r\n" +
           settings + u"would do nothing\r\n"},
      {"warning",
       [this] { AddPool(u"PE", 2048 * 812, u"E"); },
       1,
       u"TALVMON WARNING - 1 of 2 Exchange drives cannot be watched\r\n"
       u"E: pool 'PE', 812 MB free\r\nF: no TALV virtual disk\r\n" +
           settings + u"would do nothing\r\n"},
      {"critical, stand-alone",
       [this] {
         AddPool(u"PF", 2048, u"F");
         RunExchange();
       },
       2,
       u"TALVMON CRITICAL - pool below 10 MB for F:\r\n"
       u"E: no TALV virtual disk\r\nF: pool 'PF', 1 MB free\r\n" +
           settings + u"would warn for F:, then stop Exchange service by service, System Attendant last\r\n"},
      {"critical, cluster node",
       [this] {
         AddPool(u"PE", 0, u"EF");
         RunExchange();
         DefineClusterLibrary();
       },
       2,
       u"TALVMON CRITICAL - pool below 10 MB for E: and F:\r\n"
       u"E: pool 'PE', 0 MB free\r\nF: pool 'PE', 0 MB free\r\n" +
           settings +
           u"would warn for E: and F:, then take the cluster resource 'Microsoft Exchange System "
           u"Attendant' offline\r\n"},
      {"critical, Exchange stopped",
       [this] { AddPool(u"PE", 0, u"EF"); },
       2,
       u"TALVMON CRITICAL - pool below 10 MB for E: and F:\r\n"
       u"E: pool 'PE', 0 MB free\r\nF: pool 'PE', 0 MB free\r\n" +
           settings + u"would do nothing: Exchange is not running\r\n"},
      {"unknown, no location",
       [this] { sim.registry.RemoveTree(reg::kLocalMachine, kServices + u"MSExchangeIS"); },
       3,
       u"TALVMON UNKNOWN - nothing to check: no Exchange location found\r\n"
       u"no Exchange location found\r\n" +
           settings + u"would do nothing\r\n"},
      {"unknown, no service manager",
       [this] {
         sim.scm.faults().FailNext(sim::SimServiceManager::Op::OpenManager, err::kAccessDenied);
       },
       3,
       u"TALVMON UNKNOWN - the service manager cannot be opened (error 5): -Check needs an "
       u"administrator\r\n"},
  };
  for (const CheckRow& row : rows) {
    // A fresh machine and monitor per row.
    sim.registry.RemoveTree(reg::kLocalMachine, kServices + u"MSExchangeIS");
    sim.scm.RemoveService(u"MSExchangeIS");
    storage.pools.clear();
    sim.console.Clear();
    monitor = std::make_unique<CStoreDiskMonitor>(platform, reporter, cluster);
    InstallStorage();
    SetLocations({u"E:\\a", u"F:\\b"});
    row.world();
    EXPECT_EQ(monitor->RunCheck(sim.console), row.code) << row.name;
    EXPECT_EQ(sim.console.Text(), row.output) << row.name;
    EXPECT_TRUE(sim.eventLog.Events().empty()) << row.name;
    EXPECT_EQ(sim.eventLog.faults().Calls(sim::SimEventLog::Op::RegisterSource), 0u) << row.name;
    EXPECT_TRUE(sim.scm.StopRequests().empty()) << row.name;
    EXPECT_EQ(cl.offlineCalls, 0) << row.name;
    ExpectNothingOpen();
  }
}

}  // namespace
}  // namespace talv::test
