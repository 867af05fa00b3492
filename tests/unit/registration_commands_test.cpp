// The registration commands: what "-Service", "-RegServer" and
// "-UnregServer" leave in the registry and the service manager, the messages
// of their failures (boxes, or events and standard error where no one sees
// a box), and their results.
#include <gtest/gtest.h>

#include "monitor/settings.h"
#include "platform/sim/sim_platform.h"
#include "registration/event_source.h"
#include "service/service_host.h"
#include "tests/unit/registry_script_fixture.h"

namespace talv {
namespace {

using sim::SimServiceManager;
using talv::testing::kExeKey;
using talv::testing::kIdentityKey;

constexpr char16_t kExe[] = u"C:\\Program Files\\TALV\\talvmon.exe";
constexpr char16_t kSourceKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\TALV Wardstone";

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.system.SetModuleFileName(kExe);
    std::string script = talv::testing::CarriedScriptBytes();
    ASSERT_FALSE(script.empty());
    sim.resources.AddResource(kExe, u"REGISTRY", 100, script.data(), script.size());
    // The script is loaded through the executable's short path.
    char16_t shortPath[260] = {};
    if (sim.system.ShortPathName(kExe, shortPath, 260) != 0)
      sim.resources.AddResource(shortPath, u"REGISTRY", 100, script.data(), script.size());
    CarryTypeLibrary();
    // "AppID" exists on every Windows machine; the script never creates it.
    sim.registry.PutKey(reg::kClassesRoot, u"AppID\\{00000000-0000-0000-0000-000000000001}");
    host.Setup(ProgramClassTable(), 0, 100);
  }
  void TearDown() override {
    EXPECT_EQ(sim.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(sim.scm.OpenHandleCount(), 0u);
    EXPECT_EQ(sim.resources.LoadedCount(), 0u);
    std::size_t initialised = 0;
    for (const auto& c : sim.com.CallsOf(sim::SimCom::Op::Initialize))
      if (com::Succeeded(c.result)) ++initialised;
    EXPECT_EQ(initialised, sim.com.CallsOf(sim::SimCom::Op::Uninitialize).size());
  }
  void CarryTypeLibrary();
  std::vector<std::u16string> Boxes() {
    std::vector<std::u16string> out;
    for (const auto& b : sim.ui.Boxes()) {
      EXPECT_EQ(b.caption, u"TALVMON");
      EXPECT_EQ(b.style, 0u);
      out.push_back(b.text);
    }
    return out;
  }
  // The event source's message file and types, or false when the key is missing.
  bool EventSourceNamesTheExecutable() {
    if (!sim.registry.HasKey(reg::kLocalMachine, kSourceKey)) return false;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> types;
    EXPECT_TRUE(sim.registry.Get(reg::kLocalMachine, kSourceKey, u"EventMessageFile", &type, nullptr));
    EXPECT_EQ(type, reg::kExpandSz);
    EXPECT_EQ(sim.registry.GetString(reg::kLocalMachine, kSourceKey, u"EventMessageFile"), kExe)
        << "the full path, unquoted";
    EXPECT_TRUE(sim.registry.Get(reg::kLocalMachine, kSourceKey, u"TypesSupported", &type, &types));
    EXPECT_EQ(type, reg::kDword);
    EXPECT_EQ(types, (std::vector<std::uint8_t>{7, 0, 0, 0}));
    return true;
  }
  std::u16string Identity(const char16_t* value) {
    return sim.registry.GetString(reg::kClassesRoot, kIdentityKey, value ? value : u"");
  }

  sim::SimPlatform sim;
  Platform platform = sim.platform();
  CServiceHost host{platform};
};

void RegistrationTest::CarryTypeLibrary() {
  sim::SimTypeLibraries::Declaration d;
  d.attributes.libid = Guid{0x6A1C7E51, 0x3B94, 0x4D0F, {0x9E, 0x21, 0x5C, 0x8A, 0x7D, 0x3F, 0x0B, 0x16}};
  d.attributes.lcid = 0x409;
  d.attributes.syskind = tlb::kSysWin64;
  d.attributes.majorVersion = 1;
  d.name = u"TALVMONLib";
  d.helpString = u"TALVMON 1.0 Type Library";
  sim.typeLibraries.AddModuleTypeLibrary(kExe, d);
}

TEST_F(RegistrationTest, ServiceSwitchRegistersIdentityServiceAndTypeLibrary) {
  EXPECT_EQ(host.RegisterProgram(true, true), 0u);
  EXPECT_EQ(Identity(nullptr), u"TALVMON");
  EXPECT_EQ(Identity(u"LocalService"), u"TALVMON");
  EXPECT_EQ(Identity(u"ServiceParameters"), u"-Service");
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(sim.registry.Get(reg::kClassesRoot, kIdentityKey, u"LocalService", nullptr, &data));
  EXPECT_EQ(data.size(), 16u);
  EXPECT_EQ(sim.registry.GetString(reg::kClassesRoot, kExeKey, u"AppID"),
            u"{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}");

  auto config = sim.scm.Config(u"TALVMON");
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->displayName, u"TALV Wardstone");
  EXPECT_EQ(config->imagePath, u"\"C:\\Program Files\\TALV\\talvmon.exe\"")
      << "a path with spaces is quoted";
  EXPECT_EQ(config->startType, svc::kDemandStart);
  EXPECT_EQ(config->serviceType, svc::kWin32OwnProcess);
  EXPECT_EQ(config->errorControl, svc::kErrorNormal);
  EXPECT_EQ(config->desiredAccess, svc::kAllAccess);
  EXPECT_EQ(config->dependencies, (std::vector<std::u16string>{u"QORDAS"}));
  EXPECT_TRUE(config->account.empty()) << "LocalSystem";
  EXPECT_TRUE(Boxes().empty());
  auto tl = sim.typeLibraries.RegisterCalls();
  ASSERT_EQ(tl.size(), 1u);
  EXPECT_EQ(tl[0].path, kExe);
  EXPECT_EQ(tl[0].helpDir, u"C:\\Program Files\\TALV\\");
  EXPECT_TRUE(EventSourceNamesTheExecutable());
}

TEST_F(RegistrationTest, FailedFirstInstallationIsTheExitCodeAndTakesBackWhatItWrote) {
  sim.registry.PutKey(reg::kClassesRoot, u"TypeLib");  // there on every Windows machine
  const auto before = sim.registry.Dump(reg::kClassesRoot);
  sim.typeLibraries.RemoveFile(kExe);
  EXPECT_EQ(host.RegisterProgram(true, true), tlb::kCantLoadLibrary);
  EXPECT_FALSE(sim.scm.IsInstalled(u"TALVMON")) << "the service comes after the type library";
  EXPECT_EQ(sim.registry.Dump(reg::kClassesRoot), before);
  CarryTypeLibrary();
  sim.scm.faults().FailNext(SimServiceManager::Op::Create, err::kAccessDenied);
  EXPECT_EQ(host.RegisterProgram(true, true), HResultFromWin32(err::kAccessDenied));
  EXPECT_EQ(sim.registry.Dump(reg::kClassesRoot), before);
  EXPECT_EQ(Boxes(), (std::vector<std::u16string>{u"Couldn't create service"}));
  sim.typeLibraries.RemoveFile(kExe);
  EXPECT_EQ(host.RegisterProgram(true, false), tlb::kCantLoadLibrary) << "-RegServer";
  EXPECT_EQ(host.UnregisterProgram(), 0u) << "unregistration ignores it";
}

TEST_F(RegistrationTest, RegisteringTwiceLeavesTheSameStateAndReplacesTheService) {
  ASSERT_EQ(host.RegisterProgram(true, true), 0u);
  auto first = sim.registry.Dump(reg::kClassesRoot);
  ASSERT_EQ(host.RegisterProgram(true, true), 0u);
  EXPECT_EQ(sim.registry.Dump(reg::kClassesRoot), first);
  // The service was changed in place, not deleted and made anew.
  EXPECT_TRUE(sim.scm.Deleted().empty());
  EXPECT_EQ(sim.scm.Created().size(), 1u);
  EXPECT_EQ(sim.scm.Reconfigured(), (std::vector<std::u16string>{u"TALVMON"}));
  EXPECT_EQ(sim.scm.State(u"TALVMON"), svc::kStopped) << "a stopped service is not started";
}

TEST_F(RegistrationTest, RegServerAfterServiceRemovesTheServiceAndKeepsServiceParameters) {
  ASSERT_EQ(host.RegisterProgram(true, true), 0u);
  EXPECT_EQ(host.RegisterProgram(true, false), 0u);
  EXPECT_FALSE(sim.scm.IsInstalled(u"TALVMON"));
  EXPECT_FALSE(sim.registry.HasValue(reg::kClassesRoot, kIdentityKey, u"LocalService"));
  EXPECT_EQ(Identity(u"ServiceParameters"), u"-Service");
  EXPECT_TRUE(EventSourceNamesTheExecutable());
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(RegistrationTest, UnregServerRemovesEverythingOfOursAndKeepsAppId) {
  const std::u16string exchange = std::u16string(kEventSourcesKey) + u"\\MSExchangeIS";
  sim.registry.PutKey(reg::kLocalMachine, exchange);
  ASSERT_EQ(host.RegisterProgram(true, true), 0u);
  EXPECT_EQ(host.UnregisterProgram(), 0u);
  EXPECT_FALSE(sim.registry.HasKey(reg::kClassesRoot, kIdentityKey));
  EXPECT_FALSE(sim.registry.HasKey(reg::kClassesRoot, kExeKey));
  EXPECT_TRUE(sim.registry.HasKey(reg::kClassesRoot, u"AppID\\{00000000-0000-0000-0000-000000000001}"));
  EXPECT_FALSE(sim.scm.IsInstalled(u"TALVMON"));
  EXPECT_FALSE(sim.registry.HasKey(reg::kClassesRoot, u"TypeLib\\{6A1C7E51-3B94-4D0F-9E21-5C8A7D3F0B16}"));
  EXPECT_FALSE(sim.registry.HasKey(reg::kLocalMachine, kSourceKey));
  EXPECT_TRUE(sim.registry.HasKey(reg::kLocalMachine, exchange)) << "other sources stay";
  // Nothing registered: no box, and still 0.
  EXPECT_EQ(host.UnregisterProgram(), 0u);
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(RegistrationTest, AServiceManagerThatCannotBeOpenedIsNotNothingInstalled) {
  ASSERT_EQ(host.RegisterProgram(true, true), 0u);
  const auto before = sim.registry.Dump(reg::kClassesRoot);
  // Without administrator rights the manager refuses all access: each
  // command says so once, fails with that error and changes nothing.
  sim.scm.faults().FailAlways(SimServiceManager::Op::OpenManager, err::kAccessDenied);
  EXPECT_EQ(host.UnregisterProgram(), HResultFromWin32(err::kAccessDenied));
  EXPECT_EQ(host.RegisterProgram(true, true), HResultFromWin32(err::kAccessDenied));
  EXPECT_EQ(host.RegisterProgram(true, false), HResultFromWin32(err::kAccessDenied));
  EXPECT_EQ(Boxes(), (std::vector<std::u16string>(3, u"Couldn't open service manager")));
  EXPECT_EQ(sim.registry.Dump(reg::kClassesRoot), before);
  sim.scm.faults().Clear();
  EXPECT_TRUE(sim.scm.IsInstalled(u"TALVMON"));
  EXPECT_TRUE(sim.scm.Deleted().empty());
}

// An installation as an administrator leaves it: automatic start, failure
// actions, settings of every type, and the service running.
class ReinstallTest : public RegistrationTest {
 protected:
  void SetUp() override {
    RegistrationTest::SetUp();
    ASSERT_EQ(host.RegisterProgram(true, true), 0u);
    sim.scm.EditConfig(u"TALVMON", [](sim::SimServiceConfig& c) {
      c.startType = svc::kAutoStart;
      c.failureActions = u"restart/60000/restart/60000//";
      c.imagePath = u"\"C:\\Old\\talvmon.exe\"";
    });
    const std::uint8_t binary[] = {0, 1, 2, 0xFF};
    sim.registry.PutDword(reg::kLocalMachine, kSettingsKey, u"CheckEveryMinutes", 5);
    sim.registry.PutDword(reg::kLocalMachine, kSettingsKey, u"FreePoolSpaceThresholdMB", 500);
    sim.registry.Put(reg::kLocalMachine, kSettingsKey, u"Odd", reg::kBinary, binary, sizeof binary);
    Run(sim::ServiceBehaviour{});
    settings_ = sim.registry.Dump(reg::kLocalMachine);
    identity_ = sim.registry.Dump(reg::kClassesRoot);
  }
  void Run(const sim::ServiceBehaviour& b) {
    sim.scm.SetBehaviour(u"TALVMON", b);
    sim.scm.SetState(u"TALVMON", svc::kRunning);
  }
  // Installed, settings and identity untouched, start type and failure
  // actions kept, nothing deleted.
  void ExpectKept(const char16_t* image) {
    auto config = sim.scm.Config(u"TALVMON");
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->startType, svc::kAutoStart);
    EXPECT_EQ(config->failureActions, u"restart/60000/restart/60000//");
    EXPECT_EQ(config->imagePath, image);
    EXPECT_EQ(sim.registry.Dump(reg::kLocalMachine), settings_) << "every value, type and data";
    EXPECT_EQ(sim.registry.Dump(reg::kClassesRoot), identity_);
    EXPECT_TRUE(sim.scm.Deleted().empty());
    EXPECT_EQ(sim.scm.Created().size(), 1u);
    EXPECT_EQ(sim.scm.OpenHandleCount(), 0u);
  }
  std::vector<std::u16string> settings_, identity_;
};

constexpr char16_t kNewImage[] = u"\"C:\\Program Files\\TALV\\talvmon.exe\"";
constexpr char16_t kOldImage[] = u"\"C:\\Old\\talvmon.exe\"";

TEST_F(ReinstallTest, ServiceOverARunningServiceWaitsWhileItShowsProgressThenRunsItAgain) {
  constexpr std::uint32_t kNever = 0xFFFFFFF0u;
  struct Case {
    const char* what;
    std::uint32_t stopMs, waitHint, checkPointEveryMs;
    bool acceptStop;
    std::uint32_t boundMs;  // the run's bound (0: the program's own)
    HResult result;
    std::uint64_t minMs, maxMs;  // how long the run took, in virtual time
  } cases[] = {
      {"stops at once", 0, 0, 0, true, 0, 0, 0, 1000},
      {"stops within its hint", 20000, 30000, 0, true, 0, 0, 20000, 21000},
      {"progress for longer than 30 s", 120000, 5000, 1000, true, 0, 0, 120000, 121000},
      {"hint used up, no progress", kNever, 5000, 0, true, 0, HResultFromWin32(err::kServiceRequestTimeout), 5000, 6000},
      {"progress beyond the bound", kNever, 5000, 1000, true, 60000, HResultFromWin32(err::kServiceRequestTimeout), 60000, 61000},
      {"progress up to the program's bound", kNever, 5000, 1000, true, 0, HResultFromWin32(err::kServiceRequestTimeout),
       CServiceHost::kServiceStopBoundMs, CServiceHost::kServiceStopBoundMs + 1000},
      {"does not take the stop", 0, 0, 0, false, 0, HResultFromWin32(err::kInvalidServiceControl), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::ServiceBehaviour b;
    b.stopDelayMs = c.stopMs;
    b.waitHint = c.waitHint;
    b.checkPointEveryMs = c.checkPointEveryMs;
    b.acceptStop = c.acceptStop;
    Run(b);
    sim.scm.EditConfig(u"TALVMON", [](sim::SimServiceConfig& cfg) { cfg.imagePath = kOldImage; });
    host.serviceStopBoundMs = c.boundMs ? c.boundMs : CServiceHost::kServiceStopBoundMs;
    const std::size_t reconfigured = sim.scm.Reconfigured().size();
    const std::uint64_t start = sim.clock.NowMs();

    EXPECT_EQ(host.RegisterProgram(true, true), c.result);
    EXPECT_GE(sim.clock.NowMs() - start, c.minMs);
    EXPECT_LE(sim.clock.NowMs() - start, c.maxMs);
    if (c.result == 0) {
      ExpectKept(kNewImage);
      EXPECT_EQ(sim.scm.Reconfigured().size(), reconfigured + 1);
      EXPECT_EQ(sim.scm.State(u"TALVMON"), svc::kRunning) << "running before, running after";
    } else {
      ExpectKept(kOldImage);
      EXPECT_EQ(sim.scm.Reconfigured().size(), reconfigured) << "nothing changed";
      EXPECT_NE(sim.scm.State(u"TALVMON"), svc::kStopped);
    }
  }
  EXPECT_EQ(Boxes(), (std::vector<std::u16string>(4, u"Service could not be stopped")));
}

TEST_F(ReinstallTest, AFailureAtAnyStepLeavesTheServiceItsSettingsAndTheGuard) {
  using Op = SimServiceManager::Op;
  for (Op op : {Op::OpenManager, Op::OpenService, Op::QueryStatus, Op::Control, Op::ChangeConfig, Op::Start}) {
    for (unsigned n = 1; n <= 5; ++n) {
      SCOPED_TRACE(::testing::Message() << "op " << static_cast<int>(op) << " call " << n);
      Run(sim::ServiceBehaviour{});
      sim.scm.faults().FailNth(op, n, err::kAccessDenied);
      const HResult result = host.RegisterProgram(true, true);
      sim.scm.faults().Clear();
      ExpectKept(result == 0 ? kNewImage : sim.scm.Config(u"TALVMON")->imagePath.c_str());
      EXPECT_TRUE(result == 0 || result == HResultFromWin32(err::kAccessDenied)) << result;
      if (sim.scm.State(u"TALVMON") != svc::kRunning) {
        EXPECT_NE(result, 0u) << "the guard is never left off silently";
      }
    }
  }
}

TEST_F(ReinstallTest, UnregServerFailsWhenTheServiceIsStillThere) {
  sim::ServiceBehaviour stuck;
  stuck.acceptStop = false;
  Run(stuck);
  EXPECT_EQ(host.UnregisterProgram(), HResultFromWin32(err::kInvalidServiceControl));
  ExpectKept(kOldImage);
  EXPECT_EQ(Boxes(), (std::vector<std::u16string>{u"Service could not be stopped"}));
  Run(sim::ServiceBehaviour{});
  sim.scm.faults().FailNext(SimServiceManager::Op::Delete, err::kAccessDenied);
  EXPECT_EQ(host.UnregisterProgram(), HResultFromWin32(err::kAccessDenied));
  EXPECT_TRUE(sim.scm.IsInstalled(u"TALVMON"));
  EXPECT_EQ(sim.registry.Dump(reg::kClassesRoot), identity_) << "the identity goes after the service";

  // A handle held open elsewhere keeps the deleted entry: it does not go,
  // and a "-Service" over it cannot make a new one.
  host.serviceGoneBoundMs = 5000;
  UniqueScHandle manager, held;
  ASSERT_EQ(OpenManager(manager, sim.scm, svc::kManagerAllAccess), 0u);
  ASSERT_EQ(OpenService(held, sim.scm, manager.get(), u"TALVMON", svc::kQueryStatus), 0u);
  EXPECT_EQ(host.UnregisterProgram(), HResultFromWin32(err::kServiceMarkedForDelete));
  EXPECT_EQ(host.RegisterProgram(true, true), HResultFromWin32(err::kServiceMarkedForDelete));
  held.reset();
  manager.reset();
  EXPECT_EQ(host.RegisterProgram(true, true), 0u) << "made anew once it has gone";
  EXPECT_EQ(host.UnregisterProgram(), 0u);
  EXPECT_FALSE(sim.scm.IsInstalled(u"TALVMON"));
  EXPECT_FALSE(sim.registry.HasKey(reg::kLocalMachine, kSettingsKey)) << "removal takes the settings";
}

TEST_F(RegistrationTest, NoBoxWhereNobodyCouldDismissIt) {
  sim.ui.SetWindowStationVisible(false);
  sim.scm.faults().FailNext(SimServiceManager::Op::Create, err::kAccessDenied);
  EXPECT_EQ(host.RegisterProgram(true, true), HResultFromWin32(err::kAccessDenied));
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(sim.ui.ErrorText(), u"Couldn't create service\n");
  auto events = sim.eventLog.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, u"TALV Wardstone");
  EXPECT_EQ(events[0].type, evt::kError);
  EXPECT_EQ(events[0].strings, (std::vector<std::u16string>{u"Couldn't create service"}));
  EXPECT_EQ(sim.eventLog.OpenSourceCount(), 0u);
}

TEST_F(RegistrationTest, EventSourceThatCannotBeWrittenOrRemovedIsSaidAndTheCommandGoesOn) {
  sim.registry.DenyKey(reg::kLocalMachine, kEventSourcesKey, reg::kCreateSubKey);  // no administrator rights
  EXPECT_EQ(host.RegisterProgram(true, true), 0u);
  EXPECT_TRUE(sim.scm.IsInstalled(u"TALVMON"));
  EXPECT_EQ(Identity(u"LocalService"), u"TALVMON");
  EXPECT_FALSE(sim.registry.HasKey(reg::kLocalMachine, kSourceKey));
  EXPECT_EQ(Boxes(), (std::vector<std::u16string>{u"Couldn't register event source"}));
  sim.registry.ClearDenials();
  ASSERT_EQ(host.RegisterProgram(true, false), 0u);
  sim.registry.DenyKey(reg::kLocalMachine, kSourceKey, 0x10000);  // DELETE
  EXPECT_EQ(host.UnregisterProgram(), 0u);
  EXPECT_FALSE(sim.registry.HasKey(reg::kClassesRoot, kIdentityKey)) << "the rest is removed";
  EXPECT_EQ(Boxes(), (std::vector<std::u16string>{u"Couldn't register event source", u"Couldn't remove event source"}));
}

TEST_F(RegistrationTest, EventSourceStepsFailWithTheirError) {
  struct Case {
    const char* what;
    sim::SimRegistry::Op op;
    unsigned nth;  // 0: no fault
    std::u16string exe;
    WinError want;
  } cases[] = {
      {"key", sim::SimRegistry::Op::Create, 1, kExe, err::kAccessDenied},
      {"message file", sim::SimRegistry::Op::Set, 1, kExe, err::kAccessDenied},
      {"types", sim::SimRegistry::Op::Set, 2, kExe, err::kAccessDenied},
      // A path cut at 260 units would name another file.
      {"long path", sim::SimRegistry::Op::Set, 0, u"C:\\" + std::u16string(300, u'x') + u".exe", 122},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim.system.SetModuleFileName(c.exe);
    if (c.nth != 0) sim.registry.faults().FailNth(c.op, c.nth, c.want);
    EXPECT_EQ(RegisterEventMessageFile(sim.registry, sim.system, u"TALV Wardstone"), c.want);
    EXPECT_FALSE(sim.registry.HasValue(reg::kLocalMachine, kSourceKey, u"TypesSupported"));
    sim.registry.faults().Clear();
    EXPECT_EQ(UnregisterEventMessageFile(sim.registry, u"TALV Wardstone"), 0u) << "also with nothing there";
  }
}

TEST_F(RegistrationTest, InstalledServiceThatCannotBeOpenedOrDeleted) {
  ASSERT_EQ(host.RegisterProgram(true, true), 0u);
  sim.scm.faults().FailNext(SimServiceManager::Op::OpenService, err::kAccessDenied);
  EXPECT_EQ(host.UninstallService(), err::kAccessDenied);
  sim.scm.faults().FailNext(SimServiceManager::Op::Delete, err::kAccessDenied);
  EXPECT_EQ(host.UninstallService(), err::kAccessDenied);
  EXPECT_EQ(Boxes(), (std::vector<std::u16string>{u"Couldn't open service", u"Service could not be deleted"}));
  EXPECT_EQ(host.UninstallService(), 0u);
  EXPECT_FALSE(sim.scm.IsInstalled(u"TALVMON"));
}

TEST_F(RegistrationTest, IdentityKeyThatCannotBeOpenedForWritingEndsTheCommand) {
  sim.resources.AddResource(kExe, u"REGISTRY", 100, "", 0);  // the script runs empty
  char16_t shortPath[260] = {};
  if (sim.system.ShortPathName(kExe, shortPath, 260) != 0)
    sim.resources.AddResource(shortPath, u"REGISTRY", 100, "", 0);
  EXPECT_EQ(host.RegisterProgram(true, true), 2u) << "the script did not create the key";
  EXPECT_TRUE(sim.scm.Created().empty());
  sim.registry.PutKey(reg::kClassesRoot, kIdentityKey);
  sim.registry.DenyKey(reg::kClassesRoot, u"AppID", reg::kWrite);
  EXPECT_EQ(host.RegisterProgram(true, true), 5u);
  EXPECT_TRUE(sim.scm.Created().empty());
}

TEST_F(RegistrationTest, FailingCoInitializeChangesNothing) {
  sim.com.faults().FailNext(sim::SimCom::Op::Initialize, 0x80004005u);
  EXPECT_EQ(host.RegisterProgram(true, true), 0x80004005u);
  sim.com.faults().FailNext(sim::SimCom::Op::Initialize, 0x8000FFFFu);
  EXPECT_EQ(host.UnregisterProgram(), 0x8000FFFFu);
  EXPECT_FALSE(sim.registry.HasKey(reg::kClassesRoot, kIdentityKey));
  EXPECT_TRUE(sim.scm.Created().empty());
}

}  // namespace
}  // namespace talv
