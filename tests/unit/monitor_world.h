// One simulated machine with a monitor on it, for the monitor's host tests:
// the storage library stand-in, a cluster library stand-in, the Exchange
// services, and the checks that every handle is closed again.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "monitor/store_disk_monitor.h"
#include "platform/sim/sim_platform.h"
#include "resources/messages.h"
#include "service/event_log_reporter.h"
#include "shutdown/cluster_binding.h"
#include "tests/unit/fake_storage.h"

namespace talv::test {

// A stand-in for clusapi.dll: 47 exports, of which the five that are called
// answer from this world; handles are counted.
class FakeCluster {
 public:
  FakeCluster() { current_ = this; }
  ~FakeCluster() { current_ = nullptr; }

  bool isNode = true;                 // OpenCluster(NULL) gives a handle
  int nodeOpens = -1;                 // OpenCluster calls that still succeed (-1: all)
  std::vector<std::u16string> resources = {u"Microsoft Exchange System Attendant"};
  std::uint32_t offlineResult = 0;
  // The last error a failed open leaves (0: none), through `system`.
  WinError openClusterError = 0, openResourceError = 0;
  System* system = nullptr;
  int openClusters = 0, openResources = 0;
  int openClusterCalls = 0, offlineCalls = 0;
  std::vector<std::u16string> offlined;

  // The exports of a complete library, less the names in `missing`.
  static std::map<std::string, ProcAddress> Exports(const std::vector<std::string>& missing = {}) {
    std::map<std::string, ProcAddress> out;
    for (const char* name : ClusterApiBinding::kEntryNames) out[name] = reinterpret_cast<ProcAddress>(&Unused);
    out["OpenCluster"] = reinterpret_cast<ProcAddress>(&OpenCluster);
    out["CloseCluster"] = reinterpret_cast<ProcAddress>(&CloseCluster);
    out["OpenClusterResource"] = reinterpret_cast<ProcAddress>(&OpenClusterResource);
    out["OfflineClusterResource"] = reinterpret_cast<ProcAddress>(&OfflineClusterResource);
    out["CloseClusterResource"] = reinterpret_cast<ProcAddress>(&CloseClusterResource);
    for (const auto& m : missing) out.erase(m);
    return out;
  }

 private:
  struct Res {
    std::u16string name;
  };
  static void Unused() { ADD_FAILURE() << "a cluster function that is never called was called"; }
  static HCluster OpenCluster(const char16_t* name) {
    ++current_->openClusterCalls;
    EXPECT_EQ(name, nullptr);
    if (!current_->isNode || current_->nodeOpens == 0) {
      current_->LeaveError(current_->openClusterError);
      return nullptr;
    }
    if (current_->nodeOpens > 0) --current_->nodeOpens;
    ++current_->openClusters;
    return &current_->clusterToken_;
  }
  static std::int32_t CloseCluster(HCluster c) {
    EXPECT_EQ(c, &current_->clusterToken_);
    --current_->openClusters;
    return 1;
  }
  static HResource OpenClusterResource(HCluster c, const char16_t* name) {
    EXPECT_EQ(c, &current_->clusterToken_);
    for (const auto& r : current_->resources) {
      if (r == name) {
        ++current_->openResources;
        return new Res{r};
      }
    }
    current_->LeaveError(current_->openResourceError);
    return nullptr;
  }
  void LeaveError(WinError e) {
    if (e != 0 && system != nullptr) system->SetLastError(e);
  }
  static std::uint32_t OfflineClusterResource(HResource r) {
    ++current_->offlineCalls;
    current_->offlined.push_back(static_cast<Res*>(r)->name);
    return current_->offlineResult;
  }
  static std::int32_t CloseClusterResource(HResource r) {
    delete static_cast<Res*>(r);
    --current_->openResources;
    return 1;
  }

  int clusterToken_ = 0;
  static inline FakeCluster* current_ = nullptr;
};

class MonitorWorld : public ::testing::Test {
 protected:
  MonitorWorld() {
    reporter.SetDisplayName(u"TALV Wardstone");
    reporter.runningAsService = 1;
    cl.system = &sim.system;
    monitor = std::make_unique<CStoreDiskMonitor>(platform, reporter, cluster);
  }

  void TearDown() override {
    ExpectNothingOpen();
    monitor.reset();
    // The monitor's storage library goes with it; only the cluster binding
    // may still hold its library.
    EXPECT_EQ(sim.libraries.ReferenceCount(u"zvapi.dll"), 0u);
    EXPECT_EQ(sim.libraries.LoadedReferenceCount(), sim.libraries.ReferenceCount(u"clusapi.dll"));
    EXPECT_EQ(sim.windowing.WindowCount(), 0u);
    EXPECT_EQ(cl.openClusters, 0);
    EXPECT_EQ(cl.openResources, 0);
  }

  // Registry keys, SCM handles and event sources all closed; a library is
  // held only by the storage binding and the cluster binding, once each.
  void ExpectNothingOpen() {
    EXPECT_EQ(sim.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(sim.scm.OpenHandleCount(), 0u);
    EXPECT_EQ(sim.eventLog.OpenSourceCount(), 0u);
    EXPECT_LE(sim.libraries.ReferenceCount(u"zvapi.dll"), 1u);
    EXPECT_LE(sim.libraries.ReferenceCount(u"clusapi.dll"), 1u);
    EXPECT_EQ(sim.libraries.LoadedReferenceCount(), sim.libraries.ReferenceCount(u"zvapi.dll") +
                                                        sim.libraries.ReferenceCount(u"clusapi.dll"));
  }

  // The storage software: its driver service and its library.
  void InstallStorage() {
    sim.scm.InstallService(u"zvdriver", SimStopped());
    DefineStorageLibrary();
  }
  void DefineStorageLibrary() {
    sim.libraries.DefineLibrary(
        u"zvapi.dll", {{"ZVListResource", reinterpret_cast<ProcAddress>(&FakeStorage::List)},
                       {"ZVGetResourceInfo", reinterpret_cast<ProcAddress>(&FakeStorage::Info)}});
  }
  void DefineClusterLibrary(const std::vector<std::string>& missing = {}) {
    sim.libraries.DefineLibrary(u"clusapi.dll", FakeCluster::Exports(missing));
  }
  static sim::ServiceBehaviour SimStopped() {
    sim::ServiceBehaviour b;
    b.state = svc::kStopped;
    return b;
  }
  static sim::ServiceBehaviour Running() { return sim::ServiceBehaviour{}; }
  void RunExchange(std::u16string_view name = u"MSExchangeIS",
                   const sim::ServiceBehaviour& b = Running()) {
    sim.scm.InstallService(name, b);
  }

  // A pool with one disk per letter; `freeUnits` 512-byte units free.
  FakePool& AddPool(std::u16string name, std::uint32_t freeUnits, std::u16string letters) {
    storage.pools.push_back(MakePool(std::move(name), freeUnits, letters));
    return storage.pools.back();
  }

  // Events as "type|text".
  std::vector<std::u16string> Events() const {
    std::vector<std::u16string> out;
    for (const auto& e : sim.eventLog.Events()) {
      std::u16string s(1, static_cast<char16_t>(u'0' + e.type));
      s += u'|';
      if (!e.strings.empty()) s += e.strings[0];
      out.push_back(s);
    }
    return out;
  }
  static std::u16string Low(std::u16string_view pool, std::u16string_view letter,
                            std::u16string_view mb = u"10") {
    std::u16string s = u"2|TALV pool '";
    s += pool;
    s += u"' has reached Microsoft Exchange Server shutdown threshold for partition ";
    s += letter;
    s += u": of < ";
    s += mb;
    s += u" MB free in the pool.";
    return s;
  }
  // The watch report: 106 when `all` letters are watched, else 107.
  static std::u16string Watch(bool all, std::u16string_view items, std::uint32_t mb = 10,
                              std::uint32_t seconds = 60) {
    const std::u16string list(items);
    const MessageArg args[] = {MessageArg::Text(list.c_str()), MessageArg::Number(mb),
                               MessageArg::Number(seconds)};
    return (all ? u"4|" : u"2|") +
           FormatMessageText(all ? resources::kTextWatchingAll : resources::kTextCannotWatchAll,
                             args, 3);
  }
  inline static const std::u16string kStarts = std::u16string(u"1|") + resources::kTextShutdownStarting;
  inline static const std::u16string kDone = std::u16string(u"4|") + resources::kTextShutdownDone;
  static std::u16string StopFailed(std::u16string_view hex, std::u16string_view name) {
    std::u16string s = u"1|Error (";
    s += hex;
    s += u") stopping service '";
    s += name;
    s += u"'.";
    return s;
  }

  sim::SimPlatform sim;
  Platform platform = sim.platform();
  CEventLogReporter reporter{sim.eventLog, sim.console};
  ClusterApiBinding cluster{sim.libraries, sim.system};
  FakeStorage storage;
  FakeCluster cl;
  std::unique_ptr<CStoreDiskMonitor> monitor;
};

}  // namespace talv::test
