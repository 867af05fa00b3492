// The simulated libraries' own extras: reference counts, the record of
// load calls, libraries and exports that come and go, and fault injection.
#include <gtest/gtest.h>

#include "platform/sim/sim_libraries.h"
#include "platform/sim/sim_system.h"

namespace talv::sim {
namespace {

void Offline() {}
void Open() {}

class SimLibrariesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    libs.DefineLibrary(u"clusapi.dll", {{"OfflineClusterResource", &Offline}, {"OpenCluster", &Open}});
  }
  SimClock clock;
  SimSystem system{clock};
  SimLibraries libs{&system};
};

TEST_F(SimLibrariesTest, CountsReferencesUntilTheLastFree) {
  ModuleHandle a = 0, b = 0;
  ASSERT_EQ(libs.Load(u"clusapi.dll", &a), 0u);
  ASSERT_EQ(libs.Load(u"C:\\WINDOWS\\system32\\CLUSAPI", &b), 0u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, libs.HandleOf(u"ClusApi.dll"));
  EXPECT_EQ(libs.ReferenceCount(u"clusapi.dll"), 2u);
  EXPECT_EQ(libs.LoadedReferenceCount(), 2u);
  EXPECT_EQ(libs.GetProc(a, "OfflineClusterResource"), &Offline);
  EXPECT_EQ(libs.Free(a), 0u);
  EXPECT_EQ(libs.GetProc(a, "OpenCluster"), &Open) << "one reference still holds it";
  EXPECT_EQ(libs.Free(b), 0u);
  EXPECT_EQ(libs.LoadedReferenceCount(), 0u);
  system.SetLastError(0);
  EXPECT_EQ(libs.GetProc(a, "OpenCluster"), nullptr) << "unloaded";
  EXPECT_EQ(system.GetLastError(), err::kModNotFound);
  EXPECT_EQ(libs.Free(a), err::kModNotFound);
}

TEST_F(SimLibrariesTest, RecordsEveryLoadCall) {
  ModuleHandle h = 0;
  EXPECT_EQ(libs.Load(u"zvapi.dll", &h), err::kModNotFound);
  EXPECT_EQ(system.GetLastError(), err::kModNotFound);
  ASSERT_EQ(libs.Load(u"CLUSAPI.DLL", &h), 0u);
  EXPECT_EQ(libs.LoadCalls(), (std::vector<std::u16string>{u"zvapi.dll", u"CLUSAPI.DLL"}));
  EXPECT_EQ(libs.LoadCallCount(u"clusapi.dll"), 1u);
  EXPECT_EQ(libs.LoadCallCount(u"zvapi"), 1u) << "failed loads count as calls";
  libs.Free(h);
}

TEST_F(SimLibrariesTest, LibrariesAndExportsComeAndGo) {
  ModuleHandle h = 0;
  ASSERT_EQ(libs.Load(u"clusapi.dll", &h), 0u);
  libs.RemoveExport(u"clusapi.dll", "OpenCluster");
  system.SetLastError(0);
  EXPECT_EQ(libs.GetProc(h, "OpenCluster"), nullptr);
  EXPECT_EQ(system.GetLastError(), err::kProcNotFound);
  libs.DefineExport(u"clusapi", "OpenCluster", &Open);
  EXPECT_EQ(libs.GetProc(h, "OpenCluster"), &Open);

  libs.RemoveLibrary(u"clusapi.dll");
  ModuleHandle again = 0;
  EXPECT_EQ(libs.Load(u"clusapi.dll", &again), err::kModNotFound);
  EXPECT_EQ(libs.GetProc(h, "OpenCluster"), &Open) << "the held reference stays valid";
  EXPECT_EQ(libs.Free(h), 0u);
  libs.DefineLibrary(u"clusapi.dll");
  ASSERT_EQ(libs.Load(u"clusapi.dll", &again), 0u);
  EXPECT_EQ(again, h) << "a library keeps its handle";
  EXPECT_EQ(libs.GetProc(again, "OpenCluster"), nullptr) << "redefined without exports";
  libs.Free(again);
}

TEST_F(SimLibrariesTest, FaultsFailTheChosenCalls) {
  ModuleHandle h = 0;
  libs.faults().FailNext(SimLibraries::Op::Load, err::kNotEnoughMemory);
  EXPECT_EQ(libs.Load(u"clusapi.dll", &h), err::kNotEnoughMemory);
  EXPECT_EQ(system.GetLastError(), err::kNotEnoughMemory);
  EXPECT_EQ(libs.LoadedReferenceCount(), 0u);
  EXPECT_EQ(libs.LoadCallCount(u"clusapi.dll"), 1u);
  ASSERT_EQ(libs.Load(u"clusapi.dll", &h), 0u);
  libs.faults().FailNext(SimLibraries::Op::GetProc, err::kProcNotFound);
  EXPECT_EQ(libs.GetProc(h, "OpenCluster"), nullptr);
  EXPECT_EQ(libs.GetProc(h, "OpenCluster"), &Open);
  libs.faults().FailNext(SimLibraries::Op::Free, err::kInvalidHandle);
  EXPECT_EQ(libs.Free(h), err::kInvalidHandle);
  EXPECT_EQ(libs.LoadedReferenceCount(), 1u) << "a failed free keeps the reference";
  EXPECT_EQ(libs.Free(h), 0u);
}

TEST(SimLibrariesAlone, WorksWithoutASystem) {
  SimLibraries libs;
  ModuleHandle h = 0;
  EXPECT_EQ(libs.Load(u"clusapi.dll", &h), err::kModNotFound);
  EXPECT_EQ(libs.GetProc(0x10000000, "X"), nullptr);
}

}  // namespace
}  // namespace talv::sim
