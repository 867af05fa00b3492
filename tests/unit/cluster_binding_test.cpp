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
  // No cluster to open: the binding's error.
  EXPECT_EQ(monitor->TakeClusterResourceOffline(CStoreDiskMonitor::kClusterResourceName),
            err::kDllNotFound);
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

TEST_F(ClusterBindingTest, TheShutdownReportsWhatTheClusterAnswered) {
  constexpr std::uint32_t kRpcUnavailable = 1722;
  struct Row {
    const char* what;
    bool resourcePresent;
    int nodeOpens;  // after IsClusterNode's own
    WinError openClusterError, openResourceError;
    std::uint32_t offlineResult;
    WinError result;
    const char16_t* hex;  // message 104, or null
  };
  const Row rows[] = {
      {"offline done", true, -1, 0, 0, 0, 0, nullptr},
      {"offline pending", true, -1, 0, 0, 997, 0, nullptr},
      {"offline failed", true, -1, 0, 0, 5023, 5023, u"139f"},
      {"no such resource", false, -1, 0, err::kResourceNotFound, 0, err::kResourceNotFound, u"138f"},
      {"resource refused", false, -1, 0, err::kAccessDenied, 0, err::kAccessDenied, u"5"},
      {"resource, no error", false, -1, 0, 0, 0, err::kResourceNotFound, u"138f"},
      {"cluster gone", true, 0, kRpcUnavailable, 0, 0, kRpcUnavailable, u"6ba"},
      {"cluster, no error", true, 0, 0, 0, 0, err::kResourceNotAvailable, u"138e"},
  };
  DefineClusterLibrary();
  for (const Row& row : rows) {
    cl.resources.clear();
    if (row.resourcePresent) cl.resources.push_back(CStoreDiskMonitor::kClusterResourceName);
    cl.nodeOpens = row.nodeOpens < 0 ? -1 : row.nodeOpens + 1;
    cl.openClusterError = row.openClusterError;
    cl.openResourceError = row.openResourceError;
    cl.offlineResult = row.offlineResult;
    RunExchange(u"MSExchangeSA");
    sim.eventLog.ClearEvents();
    // An error left over from before is never taken for the open's.
    sim.system.SetLastError(err::kInvalidParameter);
    EXPECT_EQ(monitor->ShutdownExchange(), row.result) << row.what;
    std::vector<std::u16string> expected{kStarts};
    if (row.hex) expected.push_back(StopFailed(row.hex, CStoreDiskMonitor::kClusterResourceName));
    expected.push_back(kDone);
    EXPECT_EQ(Events(), expected) << row.what;
    EXPECT_TRUE(sim.scm.StopRequests().empty()) << row.what << ": no service is stopped on a node";
    EXPECT_EQ(cl.openClusters, 0) << row.what;
    EXPECT_EQ(cl.openResources, 0) << row.what;
  }
  EXPECT_EQ(cl.offlined, std::vector<std::u16string>(3, CStoreDiskMonitor::kClusterResourceName));
}

}  // namespace
}  // namespace talv::test
