// The low-space warning and the stand-alone shutdown of Exchange: which
// services count as running, how each is stopped and waited for, and the
// messages with their texts and event types.
#include <gtest/gtest.h>

#include "tests/unit/monitor_world.h"

namespace talv::test {
namespace {

using Op = sim::SimServiceManager::Op;

class ExchangeShutdownTest : public MonitorWorld {
 protected:
  ExchangeShutdownTest() { monitor->m_nThresholdMB = 10; }
  std::vector<std::u16string> Stopped() const {
    std::vector<std::u16string> out;
    for (const auto& r : sim.scm.StopRequests()) out.push_back(r.service);
    return out;
  }
  static sim::ServiceBehaviour State(std::uint32_t state) {
    sim::ServiceBehaviour b;
    b.state = state;
    return b;
  }
  static sim::ServiceBehaviour NeverStops(std::uint32_t waitHint) {
    sim::ServiceBehaviour b;
    b.waitHint = waitHint;
    b.stopPendingQueries = 1000;
    return b;
  }
};

TEST_F(ExchangeShutdownTest, ExchangeNotRunningMeansNothingAtAll) {
  // Nothing installed, then everything installed and stopped.
  for (int round = 0; round < 2; ++round) {
    if (round == 1)
      for (const char16_t* name : CStoreDiskMonitor::kExchangeServiceOrder)
        sim.scm.InstallService(name, SimStopped());
    EXPECT_FALSE(monitor->IsExchangeRunning());
    monitor->ReportLowPoolSpace(u"P1", u'E');
    EXPECT_EQ(monitor->ShutdownExchange(), 0u);
    EXPECT_TRUE(sim.eventLog.Events().empty());
    EXPECT_TRUE(sim.scm.StopRequests().empty());
    ExpectNothingOpen();
  }
  // The SCM cannot be opened: every service counts as stopped.
  RunExchange();
  sim.scm.faults().FailAlways(Op::OpenManager, err::kAccessDenied);
  EXPECT_FALSE(monitor->IsExchangeRunning());
  monitor->ReportLowPoolSpace(u"P1", u'E');
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_TRUE(sim.eventLog.Events().empty());
}

TEST_F(ExchangeShutdownTest, ServicesThatCannotBeOpenedOrQueriedCountAsStopped) {
  RunExchange(u"MSExchangeFB");
  sim.scm.faults().FailNext(Op::OpenService, err::kAccessDenied);
  EXPECT_TRUE(monitor->IsServiceStopped(u"MSExchangeFB"));
  sim.scm.faults().FailNext(Op::QueryStatus, err::kAccessDenied);
  EXPECT_TRUE(monitor->IsServiceStopped(u"MSExchangeFB"));
  ExpectNothingOpen();
  EXPECT_FALSE(monitor->IsServiceStopped(u"MSExchangeFB"));
}

TEST_F(ExchangeShutdownTest, TheFirstServiceNotStoppedEndsTheCheck) {
  for (const char16_t* name : CStoreDiskMonitor::kExchangeServiceOrder) sim.scm.InstallService(name);
  EXPECT_TRUE(monitor->IsExchangeRunning());
  EXPECT_EQ(sim.scm.QueryCount(u"MSExchangeFB"), 1u);
  EXPECT_EQ(sim.scm.QueryCount(u"MSExchangeIMC"), 0u);
}

TEST_F(ExchangeShutdownTest, PausedServicesAreStoppedPendingOnesCountAsRunningButAreLeftAlone) {
  const std::uint32_t states[] = {svc::kPaused, svc::kStartPending, svc::kContinuePending,
                                  svc::kPausePending};
  for (std::uint32_t state : states) {
    sim::SimServiceManager& scm = sim.scm;
    sim::ServiceBehaviour b = State(state);
    b.waitHint = 2000;
    b.stopPendingQueries = 1;
    scm.InstallService(u"MSExchangeKMS", b);
    const bool stopped = state == svc::kPaused;
    const std::size_t sleptBefore = sim.system.Sleeps().size();
    const std::size_t stopsBefore = scm.StopRequests().size();
    EXPECT_TRUE(monitor->IsExchangeRunning()) << state;
    sim.eventLog.ClearEvents();
    EXPECT_EQ(monitor->ShutdownExchange(), 0u);
    EXPECT_EQ(Events(), (std::vector<std::u16string>{kStarts, kDone})) << state;
    EXPECT_EQ(scm.StopRequests().size() - stopsBefore, stopped ? 1u : 0u) << state;
    EXPECT_EQ(scm.State(u"MSExchangeKMS"), stopped ? svc::kStopped : state) << state;
    // The paused one is waited for like a running one.
    EXPECT_EQ(sim.system.Sleeps().size() - sleptBefore, stopped ? 1u : 0u) << state;
    scm.RemoveService(u"MSExchangeKMS");
  }
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, StandAloneShutdownStopsAllFourteenInOrderEndingWithTheAttendant) {
  std::vector<std::u16string> order;
  // Installed in reverse, so that the order can only come from the list.
  for (int i = 13; i >= 0; --i) sim.scm.InstallService(CStoreDiskMonitor::kExchangeServiceOrder[i]);
  for (const char16_t* name : CStoreDiskMonitor::kExchangeServiceOrder) order.push_back(name);
  EXPECT_EQ(order, (std::vector<std::u16string>{
                       u"MSExchangeFB", u"MSExchangeIMC", u"MSExchangeINS", u"MSExchangeMSMI",
                       u"MSExchangeKMS", u"MSExchangeDX", u"MSExchangeCCMC", u"MSExchangeWEB",
                       u"MSExchangeES", u"MSExchangeIS", u"MSExchangePCMTA", u"MSExchangeMTA",
                       u"MSExchangeDS", u"MSExchangeSA"}));
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(Stopped(), order);
  for (const auto& name : order) EXPECT_EQ(sim.scm.State(name), svc::kStopped);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{kStarts, kDone}));
  for (const auto& e : sim.eventLog.Events()) {
    EXPECT_EQ(e.source, u"TALV Wardstone");
    EXPECT_EQ(e.category, 0);
    EXPECT_EQ(e.eventId, 0u);
    EXPECT_EQ(e.strings.size(), 1u);
  }
  ExpectNothingOpen();
  // The next shutdown finds Exchange stopped and does nothing.
  sim.eventLog.ClearEvents();
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_TRUE(sim.eventLog.Events().empty());
}

TEST_F(ExchangeShutdownTest, EachStopIsPolledWithTheReportedWaitHint) {
  sim::ServiceBehaviour b;
  b.waitHint = 1500;
  b.stopPendingQueries = 3;
  RunExchange(u"MSExchangeIS", b);
  unsigned before = sim.scm.QueryCount(u"MSExchangeIS");
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), 0u);
  // One query before the stop, then polls until the fourth answers stopped.
  EXPECT_EQ(sim.scm.QueryCount(u"MSExchangeIS") - before, 5u);
  EXPECT_EQ(sim.system.Sleeps(), (std::vector<std::uint32_t>{1500, 1500, 1500}));
  EXPECT_EQ(sim.clock.NowMs(), 4500u);
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, AServiceThatNeverStopsTimesOutAfterTwentyPollsAndNineteenPausesHeldWithinOneSecondAndAMinute) {
  struct Row {
    std::uint32_t waitHint;
    std::uint32_t pause;
  };
  const Row rows[] = {
      {0, 1000},          {999, 1000},         {1000, 1000}, {100, 1000},
      {60000, 60000},     {60001, 60000},      {0xFFFFFFFFu, 60000},
  };
  for (const Row& row : rows) {
    RunExchange(u"MSExchangeSA", NeverStops(row.waitHint));
    const std::size_t sleptBefore = sim.system.Sleeps().size();
    sim.eventLog.ClearEvents();
    unsigned before = sim.scm.QueryCount(u"MSExchangeSA");
    EXPECT_EQ(monitor->ShutdownExchange(), err::kServiceRequestTimeout) << row.waitHint;
    // IsExchangeRunning asked once; then the first query and 20 polls, the
    // first at once after the stop request, and the time-out right after
    // the last.
    EXPECT_EQ(sim.scm.QueryCount(u"MSExchangeSA") - before, 22u) << row.waitHint;
    std::vector<std::uint32_t> pauses = sim.system.Sleeps();
    pauses.erase(pauses.begin(), pauses.begin() + static_cast<std::ptrdiff_t>(sleptBefore));
    EXPECT_EQ(pauses, std::vector<std::uint32_t>(19, row.pause)) << row.waitHint;
    EXPECT_EQ(sim.clock.NowMs() - sim.scm.StopRequests().back().atMs, 19ull * row.pause)
        << row.waitHint;
    EXPECT_EQ(Events(), (std::vector<std::u16string>{kStarts, StopFailed(u"41d", u"MSExchangeSA"), kDone}))
        << row.waitHint;
  }
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, ServicesNotInstalledStopWithZero) {
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), 0u);
  // 1060 from the first status query counts the same.
  RunExchange(u"MSExchangeIS");
  sim.scm.faults().FailNext(Op::QueryStatus, err::kServiceDoesNotExist);
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), 0u);
  EXPECT_TRUE(sim.scm.StopRequests().empty());
  // A service of the list that is missing gives no message.
  RunExchange(u"MSExchangeFB");
  sim.scm.RemoveService(u"MSExchangeIS");
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{kStarts, kDone}));
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, PlatformErrorsArePassedOnUnchanged) {
  RunExchange(u"MSExchangeIS");
  sim.scm.faults().FailNext(Op::OpenManager, err::kAccessDenied);
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), err::kAccessDenied);
  sim.scm.faults().FailNext(Op::OpenService, err::kAccessDenied);
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), err::kAccessDenied);
  sim.scm.faults().FailNext(Op::QueryStatus, err::kAccessDenied);
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), err::kAccessDenied);
  // 1060 from the stop request itself is not turned into 0.
  sim.scm.faults().FailNext(Op::Control, err::kServiceDoesNotExist);
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), err::kServiceDoesNotExist);
  // A status query failing while polling.
  sim::ServiceBehaviour slow = NeverStops(10);
  sim.scm.SetBehaviour(u"MSExchangeIS", slow);
  sim.scm.faults().FailNth(Op::QueryStatus, 3, err::kInvalidHandle);
  EXPECT_EQ(monitor->StopExchangeService(u"MSExchangeIS"), err::kInvalidHandle);
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, RefusedStopsAreReportedInHexAndTheSequenceGoesOn) {
  sim::ServiceBehaviour refuses;
  refuses.acceptStop = false;
  sim::ServiceBehaviour dependents;
  dependents.refuseStop = err::kDependentServicesRunning;
  RunExchange(u"MSExchangeFB", refuses);
  RunExchange(u"MSExchangeIS", dependents);
  RunExchange(u"MSExchangeMTA");
  RunExchange(u"MSExchangeSA", refuses);
  EXPECT_EQ(monitor->ShutdownExchange(), err::kInvalidServiceControl);
  EXPECT_EQ(Stopped(), (std::vector<std::u16string>{u"MSExchangeFB", u"MSExchangeIS",
                                                     u"MSExchangeMTA", u"MSExchangeSA"}));
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          kStarts, StopFailed(u"41c", u"MSExchangeFB"),
                          StopFailed(u"41b", u"MSExchangeIS"), StopFailed(u"41c", u"MSExchangeSA"),
                          kDone}));
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, TheEndIsWrittenEvenWhenEveryStopFailed) {
  sim::ServiceBehaviour refuses;
  refuses.acceptStop = false;
  for (const char16_t* name : CStoreDiskMonitor::kExchangeServiceOrder) RunExchange(name, refuses);
  EXPECT_EQ(monitor->ShutdownExchange(), err::kInvalidServiceControl);
  std::vector<std::u16string> expected{kStarts};
  for (const char16_t* name : CStoreDiskMonitor::kExchangeServiceOrder)
    expected.push_back(StopFailed(u"41c", name));
  expected.push_back(kDone);
  EXPECT_EQ(Events(), expected);
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, TheWarningNamesPoolLetterAndThreshold) {
  RunExchange();
  monitor->ReportLowPoolSpace(u"Pool 7", u'E');
  monitor->ReportLowPoolSpace(u"Pool 7", 0);  // no letter: the colon stands alone
  monitor->m_nThresholdMB = 2147483648u;       // never shown negative
  monitor->ReportLowPoolSpace(u"P%1%%", u'f');  // a pool name is text, not a template
  monitor->m_nThresholdMB = 0xFFFFFFFFu;
  monitor->ReportLowPoolSpace(u"P", u'G');
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          Low(u"Pool 7", u"E"), Low(u"Pool 7", u""),
                          Low(u"P%1%%", u"f", u"2147483648"), Low(u"P", u"G", u"4294967295")}));
  EXPECT_EQ(Events()[1], u"2|TALV pool 'Pool 7' has reached Microsoft Exchange Server shutdown "
                         u"threshold for partition : of < 10 MB free in the pool.");
  ExpectNothingOpen();
}

TEST_F(ExchangeShutdownTest, TextsAreLoadedWhenTheyAreWritten) {
  RunExchange();
  sim.system.SetString(105, u"Done, changed.");
  monitor->ReportStopFailure(u"X", 0xABCDEF01u);
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{StopFailed(u"abcdef01", u"X"), kStarts,
                                                   u"4|Done, changed."}));
  // A text that cannot be loaded is not written; the shutdown goes on.
  sim.eventLog.ClearEvents();
  RunExchange();
  sim.system.faults().FailNext(sim::SimSystem::Op::LoadString, err::kResourceNameNotFound);
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{u"4|Done, changed."}));
  EXPECT_EQ(sim.scm.State(u"MSExchangeIS"), svc::kStopped);
}

}  // namespace
}  // namespace talv::test
