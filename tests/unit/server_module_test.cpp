// The COM server module: its state after initialisation and the two walks
// over the class table, on the simulated COM runtime.
#include <gtest/gtest.h>

#include <vector>

#include "platform/sim/sim_com.h"
#include "service/server_module.h"

namespace talv {
namespace {

using sim::SimCom;

constexpr Guid kClassA{0xA0000001u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr Guid kClassB{0xB0000002u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr Guid kClassC{0xC0000003u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};

class Factory : public ComUnknown {
 public:
  HResult TALV_WINAPI QueryInterface(const Guid&, void** out) override {
    *out = this;
    AddRef();
    return hr::kOk;
  }
  std::uint32_t TALV_WINAPI AddRef() override { return ++refs; }
  std::uint32_t TALV_WINAPI Release() override { return --refs; }
  std::uint32_t refs = 1;
};

// What the table's functions saw; reset by the fixture.
struct Seen {
  Factory factories[3];
  std::vector<int> getterCalls;
  std::vector<int> initHooks;
  HResult failGetter[3] = {0, 0, 0};
  InstanceCreatorFn creatorSeen[3] = {};
  Guid iidSeen[3];
};
Seen* g_seen = nullptr;

HResult CreateNothing(void*, const Guid&, void** out) {
  *out = nullptr;
  return hr::kFail;
}

template <int N>
HResult GetFactory(InstanceCreatorFn creator, const Guid& iid, void** out) {
  g_seen->getterCalls.push_back(N);
  g_seen->creatorSeen[N] = creator;
  g_seen->iidSeen[N] = iid;
  if (g_seen->failGetter[N]) return g_seen->failGetter[N];
  // A getter hands out a reference of its own.
  g_seen->factories[N].AddRef();
  *out = static_cast<ComUnknown*>(&g_seen->factories[N]);
  return hr::kOk;
}

template <int N>
void InitHook(bool initializing) {
  if (initializing) g_seen->initHooks.push_back(N);
}

class ServerModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen = &seen;
    table[0] = Entry(&kClassA, &GetFactory<0>, &InitHook<0>);
    table[1] = Entry(&kClassB, &GetFactory<1>, &InitHook<1>);
    table[2] = Entry(&kClassC, &GetFactory<2>, nullptr);
    table[3] = ClassTableEntry{};
  }
  void TearDown() override { g_seen = nullptr; }

  static ClassTableEntry Entry(const Guid* clsid,
                               HResult (*getter)(InstanceCreatorFn, const Guid&, void**),
                               void (*hook)(bool)) {
    ClassTableEntry e;
    e.clsid = clsid;
    e.getClassObject = getter;
    e.createInstance = &CreateNothing;
    e.classInit = hook;
    return e;
  }
  void Init() { ASSERT_EQ(module.InitServerModule(table, 0x400000, com), 0u); }
  HResult Register() { return module.RegisterClassFactories(com::kLocalServer | com::kRemoteServer,
                                                            com::kMultipleUse); }

  Seen seen;
  ClassTableEntry table[4];
  SimCom com;
  CServerModule module;
};

TEST_F(ServerModuleTest, InitialisationStoresTheModuleAndCreatesTheLocks) {
  EXPECT_FALSE(module.LocksCreated());
  module.lockCount = 5;
  ASSERT_EQ(module.InitServerModule(ProgramClassTable(), 0x400000, com), 0u);
  EXPECT_EQ(module.classTable, ProgramClassTable());
  EXPECT_EQ(module.moduleInstance, 0x400000u);
  EXPECT_EQ(module.resourceInstance, 0x400000u);
  EXPECT_EQ(module.typeLibInstance, 0x400000u);
  EXPECT_EQ(module.lockCount, 0);
  EXPECT_TRUE(module.LocksCreated());
}

TEST_F(ServerModuleTest, ProgramTableIsEmptySoTheWalksCallNothing) {
  EXPECT_EQ(ProgramClassTable()[0].clsid, nullptr);
  ASSERT_EQ(module.InitServerModule(ProgramClassTable(), 0x400000, com), 0u);
  ASSERT_EQ(com.CoInitializeEx(com::kMultithreaded), 0u);
  com.ClearCalls();
  EXPECT_EQ(Register(), 0u);
  EXPECT_EQ(module.RevokeClassFactories(), 0u);
  EXPECT_TRUE(com.Calls().empty());
  com.CoUninitialize();
}

TEST_F(ServerModuleTest, InitialisationCallsEveryInitHookOnce) {
  Init();
  EXPECT_EQ(seen.initHooks, (std::vector<int>{0, 1}));
  EXPECT_TRUE(seen.getterCalls.empty());
}

TEST_F(ServerModuleTest, RegistersEachFactoryAndRevokesByCookie) {
  Init();
  ASSERT_EQ(com.CoInitializeEx(com::kMultithreaded), 0u);
  EXPECT_EQ(Register(), 0u);
  EXPECT_EQ(seen.getterCalls, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(seen.creatorSeen[1], &CreateNothing);
  EXPECT_EQ(seen.iidSeen[1], com::kIidIUnknown);
  auto regs = com.CallsOf(SimCom::Op::RegisterClassObject);
  ASSERT_EQ(regs.size(), 3u);
  const Guid* classes[] = {&kClassA, &kClassB, &kClassC};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(regs[i].clsid, *classes[i]);
    EXPECT_EQ(regs[i].object, &seen.factories[i]);
    EXPECT_EQ(regs[i].context, 0x14u);
    EXPECT_EQ(regs[i].flags, 1u);
    EXPECT_EQ(table[i].registrationCookie, regs[i].cookie) << "cookie stored in the entry";
    // The getter's reference was given back; the runtime holds its own.
    EXPECT_EQ(seen.factories[i].refs, 2u);
  }

  EXPECT_EQ(module.RevokeClassFactories(), 0u);
  auto revokes = com.CallsOf(SimCom::Op::RevokeClassObject);
  ASSERT_EQ(revokes.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(revokes[i].cookie, table[i].registrationCookie);
    EXPECT_EQ(seen.factories[i].refs, 1u);
  }
  EXPECT_EQ(com.RegisteredClassCount(), 0u);
  com.CoUninitialize();
}

TEST_F(ServerModuleTest, FailingFactoryGetterStopsTheWalk) {
  Init();
  ASSERT_EQ(com.CoInitializeEx(com::kMultithreaded), 0u);
  seen.failGetter[1] = hr::kOutOfMemory;
  EXPECT_EQ(Register(), hr::kOutOfMemory);
  EXPECT_EQ(seen.getterCalls, (std::vector<int>{0, 1})) << "the third entry is not reached";
  EXPECT_EQ(com.CallsOf(SimCom::Op::RegisterClassObject).size(), 1u);
  EXPECT_EQ(table[1].registrationCookie, 0u);
  module.RevokeClassFactories();
  com.CoUninitialize();
}

TEST_F(ServerModuleTest, FailingRegistrationStopsTheWalkAndReleasesTheFactory) {
  Init();
  ASSERT_EQ(com.CoInitializeEx(com::kMultithreaded), 0u);
  com.faults().FailNext(SimCom::Op::RegisterClassObject, com::kNotInitialized);
  EXPECT_EQ(Register(), com::kNotInitialized);
  EXPECT_EQ(seen.getterCalls, (std::vector<int>{0}));
  EXPECT_EQ(seen.factories[0].refs, 1u) << "the obtained reference is released on failure too";
  EXPECT_EQ(table[0].registrationCookie, 0u);
  com.CoUninitialize();
}

TEST_F(ServerModuleTest, EntryWithoutGetterCountsAsSuccess) {
  table[0].getClassObject = nullptr;
  Init();
  ASSERT_EQ(com.CoInitializeEx(com::kMultithreaded), 0u);
  EXPECT_EQ(Register(), 0u);
  EXPECT_EQ(seen.getterCalls, (std::vector<int>{1, 2}));
  EXPECT_EQ(com.CallsOf(SimCom::Op::RegisterClassObject).size(), 2u);
  com.CoUninitialize();
}

TEST_F(ServerModuleTest, RevocationStopsAtTheFirstFailure) {
  Init();
  ASSERT_EQ(com.CoInitializeEx(com::kMultithreaded), 0u);
  ASSERT_EQ(Register(), 0u);
  com.faults().FailNth(SimCom::Op::RevokeClassObject, 2, hr::kFail);
  EXPECT_EQ(module.RevokeClassFactories(), hr::kFail);
  auto revokes = com.CallsOf(SimCom::Op::RevokeClassObject);
  ASSERT_EQ(revokes.size(), 2u) << "the third entry is not revoked";
  EXPECT_EQ(revokes[1].cookie, table[1].registrationCookie);
  EXPECT_EQ(seen.factories[0].refs, 1u);
  EXPECT_EQ(seen.factories[1].refs, 2u);
  EXPECT_EQ(seen.factories[2].refs, 2u);
  // COM leaving the process lets go of what is still registered.
  com.CoUninitialize();
  EXPECT_EQ(seen.factories[2].refs, 1u);
}

}  // namespace
}  // namespace talv
