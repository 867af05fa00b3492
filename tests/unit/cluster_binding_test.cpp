// The run-time binding of the cluster API and the cluster path of the
// shutdown.
#include <gtest/gtest.h>

#include "tests/unit/monitor_world.h"

namespace talv::test {
namespace {

using LibOp = sim::SimLibraries::Op;

class ClusterBindingTest : public MonitorWorld {
 protected:
  unsigned long long GetProcs() { return sim.libraries.faults().Calls(LibOp::GetProc); }
};

TEST_F(ClusterBindingTest, AMissingLibraryLeavesTheNodeStandAloneAndIsRetried) {
  EXPECT_FALSE(monitor->IsClusterNode());
  EXPECT_EQ(sim.system.GetLastError(), err::kDllNotFound);
  EXPECT_FALSE(monitor->IsClusterNode());
  EXPECT_EQ(sim.libraries.LoadCallCount(u"clusapi.dll"), 2u);
  EXPECT_EQ(sim.system.ExitRoutineCount(), 0u);
  // Once it is there, the next use binds it.
  DefineClusterLibrary();
  EXPECT_TRUE(monitor->IsClusterNode());
  EXPECT_EQ(sim.libraries.LoadCallCount(u"clusapi.dll"), 3u);
}

TEST_F(ClusterBindingTest, UnboundWrappersAnswerAtOnce) {
  sim.system.SetLastError(0);
  EXPECT_EQ(cluster.OpenCluster(nullptr), nullptr);
  EXPECT_EQ(sim.system.GetLastError(), err::kDllNotFound);
  EXPECT_EQ(cluster.CloseCluster(reinterpret_cast<HCluster>(8)), 0);
  EXPECT_EQ(cluster.OpenClusterResource(reinterpret_cast<HCluster>(8), u"R"), nullptr);
  EXPECT_EQ(cluster.OfflineClusterResource(reinterpret_cast<HResource>(8)), err::kResourceNotAvailable);
  EXPECT_EQ(cluster.CloseClusterResource(reinterpret_cast<HResource>(8)), 0);
  // Each wrapper tried to bind first.
  EXPECT_EQ(sim.libraries.LoadCallCount(u"clusapi.dll"), 5u);
  EXPECT_EQ(monitor->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName), 0u);
}

TEST_F(ClusterBindingTest, EveryOneOfTheFortySevenNamesIsNeededInItsOrder) {
  const std::vector<std::string> expected = {
      "OpenCluster", "CloseCluster", "CreateClusterGroup", "MoveClusterGroup", "CloseClusterGroup",
      "DeleteClusterGroup", "CloseClusterResource", "OnlineClusterResource",
      "GetClusterResourceState", "CreateClusterNotifyPort", "GetClusterNotify",
      "CloseClusterNotifyPort", "CreateClusterResource", "OpenClusterResource", "OpenClusterGroup",
      "GetClusterGroupState", "ClusterGroupEnum", "ClusterGroupOpenEnum", "ClusterGroupCloseEnum",
      "AddClusterResourceDependency", "OfflineClusterResource", "ClusterResourceCloseEnum",
      "CloseClusterNode", "RemoveClusterResourceNode", "AddClusterResourceNode", "OpenClusterNode",
      "ClusterResourceEnum", "ClusterResourceOpenEnum", "DeleteClusterResource",
      "RemoveClusterResourceDependency", "OfflineClusterGroup", "OnlineClusterGroup",
      "GetClusterResourceKey", "ClusterRegSetValue", "ClusterRegCloseKey", "ClusterRegOpenKey",
      "ClusterOpenEnum", "ClusterCloseEnum", "ClusterEnum", "GetClusterInformation",
      "GetClusterNodeState", "ClusterResourceControl", "GetClusterKey", "ClusterRegCreateKey",
      "ClusterRegQueryValue", "ClusterRegEnumValue", "ClusterRegDeleteValue"};
  ASSERT_EQ(expected.size(), 47u);
  // A library lacking the k-th name: resolving stops there, after k+1 lookups.
  for (std::size_t k = 0; k < expected.size(); ++k) {
    DefineClusterLibrary({expected[k]});
    ClusterApiBinding fresh(sim.libraries, sim.system);
    auto before = GetProcs();
    EXPECT_FALSE(fresh.BindClusterApi()) << expected[k];
    EXPECT_EQ(GetProcs() - before, k + 1) << expected[k];
    EXPECT_EQ(sim.system.GetLastError(), err::kDllNotFound);
  }
  DefineClusterLibrary();
  ClusterApiBinding fresh(sim.libraries, sim.system);
  auto before = GetProcs();
  EXPECT_TRUE(fresh.BindClusterApi());
  EXPECT_EQ(GetProcs() - before, 47u);
}

TEST_F(ClusterBindingTest, LackingOnlyTheLastNameLeavesTheNodeStandAlone) {
  DefineClusterLibrary({"ClusterRegDeleteValue"});
  RunExchange(u"MSExchangeSA");
  EXPECT_FALSE(monitor->IsClusterNode());
  EXPECT_EQ(sim.system.GetLastError(), err::kDllNotFound);
  EXPECT_EQ(cl.openClusterCalls, 0);
  // The library stays held and is not loaded again; resolving starts over.
  EXPECT_EQ(sim.libraries.ReferenceCount(u"clusapi.dll"), 1u);
  auto before = GetProcs();
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(GetProcs() - before, 47u);
  EXPECT_EQ(sim.libraries.LoadCallCount(u"clusapi.dll"), 1u);
  // The stand-alone path ran instead.
  EXPECT_EQ(sim.scm.State(u"MSExchangeSA"), svc::kStopped);
  EXPECT_EQ(cl.offlineCalls, 0);
  EXPECT_FALSE(cluster.bound());
}

TEST_F(ClusterBindingTest, ABoundLibraryIsNotLoadedOrResolvedAgainAndGoesAtExit) {
  DefineClusterLibrary();
  EXPECT_TRUE(monitor->IsClusterNode());
  EXPECT_TRUE(cluster.bound());
  auto procs = GetProcs();
  EXPECT_TRUE(monitor->IsClusterNode());
  EXPECT_EQ(monitor->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName), 0u);
  EXPECT_TRUE(cluster.BindClusterApi());
  EXPECT_EQ(GetProcs(), procs);
  EXPECT_EQ(sim.libraries.LoadCallCount(u"clusapi.dll"), 1u);
  EXPECT_EQ(sim.system.ExitRoutineCount(), 1u);
  EXPECT_EQ(sim.libraries.ReferenceCount(u"clusapi.dll"), 1u);
  // Unbound and bound again: loaded anew, the exit routine not registered twice.
  cluster.UnbindClusterApi();
  EXPECT_EQ(sim.libraries.ReferenceCount(u"clusapi.dll"), 0u);
  EXPECT_TRUE(monitor->IsClusterNode());
  EXPECT_EQ(sim.libraries.LoadCallCount(u"clusapi.dll"), 2u);
  EXPECT_EQ(sim.system.ExitRoutineCount(), 1u);
  // Process exit releases it.
  sim.system.RunExitRoutines();
  EXPECT_FALSE(cluster.bound());
  EXPECT_EQ(sim.libraries.ReferenceCount(u"clusapi.dll"), 0u);
}

TEST_F(ClusterBindingTest, OnAClusterNodeTheAttendantResourceIsTakenOffline) {
  DefineClusterLibrary();
  for (const char16_t* name : CStoreDiskMonitor::kExchangeServiceOrder) RunExchange(name);
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(cl.offlined, (std::vector<std::u16string>{u"Microsoft Exchange System Attendant"}));
  EXPECT_TRUE(sim.scm.StopRequests().empty());
  EXPECT_EQ(Events(), (std::vector<std::u16string>{kStarts, kDone}));
}

TEST_F(ClusterBindingTest, ANodeOutsideAnyClusterStopsTheServicesItself) {
  DefineClusterLibrary();
  cl.isNode = false;
  RunExchange(u"MSExchangeSA");
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(sim.scm.State(u"MSExchangeSA"), svc::kStopped);
  EXPECT_EQ(cl.offlineCalls, 0);
}

TEST_F(ClusterBindingTest, AMissingResourceGivesStartAndEndAndNothingBetween) {
  DefineClusterLibrary();
  cl.resources.clear();
  RunExchange(u"MSExchangeSA");
  EXPECT_EQ(monitor->ShutdownExchange(), 0u);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{kStarts, kDone}));
  EXPECT_EQ(cl.offlineCalls, 0);
  EXPECT_TRUE(sim.scm.StopRequests().empty());
}

TEST_F(ClusterBindingTest, AFailedOfflineIsReportedUnderTheResourceName) {
  DefineClusterLibrary();
  cl.offlineResult = 5023;  // any non-zero result is a failure, 997 included
  RunExchange(u"MSExchangeSA");
  EXPECT_EQ(monitor->ShutdownExchange(), 5023u);
  EXPECT_EQ(Events(), (std::vector<std::u16string>{
                          kStarts, StopFailed(u"139f", u"Microsoft Exchange System Attendant"),
                          kDone}));
  cl.offlineResult = 997;
  EXPECT_EQ(monitor->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName), 997u);
}

}  // namespace
}  // namespace talv::test
