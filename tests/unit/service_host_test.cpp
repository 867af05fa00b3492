// The service host: the command line, the choice between service and plain
// process, the state sequence the Service Control Manager sees, and the
// stop paths.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "monitor/store_disk_monitor.h"
#include "platform/sim/sim_platform.h"
#include "resources/messages.h"
#include "service/service_host.h"
#include "shutdown/cluster_binding.h"

namespace talv {
namespace {

using namespace std::chrono_literals;
using sim::SimServiceManager;

// Records which registration command the entry chose.
class RecordingHost : public CServiceHost {
 public:
  using CServiceHost::CServiceHost;
  HResult RegisterProgram(bool registerTypeLib, bool asService) override {
    calls.push_back(asService ? u"Service" : u"RegServer");
    EXPECT_TRUE(registerTypeLib);
    return asService ? 0x1111 : 0x2222;
  }
  HResult UnregisterProgram() override {
    calls.push_back(u"UnregServer");
    return 0x3333;
  }
  std::vector<std::u16string> calls;
};

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.system.SetCommandLine(u"C:\\Program Files\\TALV\\talvmon.exe");
    sim.registry.PutKey(reg::kClassesRoot, u"AppID\\{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}");
  }
  void TearDown() override {
    EXPECT_EQ(sim.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(sim.scm.OpenHandleCount(), 0u);
  }
  void MarkAsService() {
    sim.registry.PutString(reg::kClassesRoot, u"AppID\\{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}",
                           u"LocalService", u"TALVMON");
  }
  // Runs the whole process entry on a thread of its own (the process's main
  // thread) and returns its exit code.
  std::future<int> StartProcess() {
    return std::async(std::launch::async, [this] { return ProcessEntry(host, 0); });
  }
  std::vector<std::uint32_t> ReportedStates() {
    std::vector<std::uint32_t> out;
    for (const auto& r : sim.scm.Statuses()) out.push_back(r.status.dwCurrentState);
    return out;
  }
  // The first line on standard output; a tick may have added the monitor's
  // watch report after it.
  std::u16string FirstConsoleLine() {
    const std::u16string text = sim.console.Text();
    return text.substr(0, text.find(u'\n') + 1);
  }
  // The host's texts. The monitor's watch report (here always "no Exchange
  // location found"), which a tick may or may not have written before the
  // stop, is the monitor tests' concern.
  static bool IsWatchReport(const std::u16string& text) {
    const std::u16string_view templ = resources::kTextCannotWatchAll;
    return text.rfind(templ.substr(0, templ.find(u'%')), 0) == 0;
  }
  std::vector<std::u16string> EventTexts() {
    std::vector<std::u16string> out;
    for (const auto& e : sim.eventLog.Events())
      if (!IsWatchReport(e.strings.at(0))) out.push_back(e.strings.at(0));
    return out;
  }

  sim::SimPlatform sim;
  Platform platform = sim.platform();
  RecordingHost host{platform};
};

TEST_F(ServiceHostTest, SwitchesMatchOnlyAtTheEndOfTheLine) {
  struct Row {
    const char16_t* line;
    const char16_t* command;  // null: no switch, the registry test follows
  };
  const Row rows[] = {
      {u"talvmon.exe -UnregServer", u"UnregServer"},
      {u"talvmon.exe /regserver", u"RegServer"},
      {u"talvmon.exe -SERVICE", u"Service"},
      {u"talvmon.exe -RegServer -Service", u"Service"},
      {u"talvmon.exe --UnregServer", u"UnregServer"},
      {u"C:\\my-tools\\talvmon.exe /Service", u"Service"},
      {u"talvmon.exe -Service ", nullptr},
      {u"talvmon.exe -Services", nullptr},
      {u"talvmon.exe Service", nullptr},
      {u"C:\\x-RegServer", u"RegServer"},
      // The check also with trailing blanks, as a monitoring agent may pass it.
      {u"talvmon.exe -Check", u"Check"},
      {u"talvmon.exe /CHECK  \t", u"Check"},
      {u"talvmon.exe -Check x", nullptr},
      {u"talvmon.exe -Service -check ", u"Check"},
  };
  for (const Row& row : rows) {
    host.calls.clear();
    sim.console.Clear();
    sim.system.SetCommandLine(row.line);
    // Without the identity key a line with no switch ends at the registry test.
    sim.registry.RemoveTree(reg::kClassesRoot, u"AppID");
    int code = ProcessEntry(host, 0);
    if (row.command && std::u16string_view(row.command) == u"Check") {
      // The check runs at once: no Exchange location here, so UNKNOWN.
      EXPECT_TRUE(host.calls.empty());
      EXPECT_EQ(code, 3);
      EXPECT_EQ(sim.console.Text().rfind(u"TALVMON UNKNOWN - ", 0), 0u);
      EXPECT_TRUE(sim.console.ParentConsoleAsked());
      EXPECT_TRUE(sim.eventLog.Events().empty());
    } else if (row.command) {
      ASSERT_EQ(host.calls.size(), 1u) << std::string(row.line, row.line + 3);
      EXPECT_EQ(host.calls[0], row.command);
    } else {
      EXPECT_TRUE(host.calls.empty());
      EXPECT_EQ(code, 2);
      EXPECT_EQ(sim.console.Text(), u"");
    }
  }
  EXPECT_EQ(sim.scm.faults().Calls(SimServiceManager::Op::StartDispatcher), 0u);
}

TEST_F(ServiceHostTest, RegistrationResultsAreTheExitCodes) {
  sim.system.SetCommandLine(u"talvmon.exe -UnregServer");
  EXPECT_EQ(ProcessEntry(host, 0), 0x3333);
  sim.system.SetCommandLine(u"talvmon.exe -RegServer");
  EXPECT_EQ(ProcessEntry(host, 0), 0x2222);
  EXPECT_EQ(sim.scm.faults().Calls(SimServiceManager::Op::StartDispatcher), 0u);
}

TEST_F(ServiceHostTest, MissingIdentityKeysEndTheProcessWithTheOpenError) {
  sim.registry.RemoveTree(reg::kClassesRoot, u"AppID");
  EXPECT_EQ(ProcessEntry(host, 0), 2);
  sim.registry.PutKey(reg::kClassesRoot, u"AppID");
  EXPECT_EQ(ProcessEntry(host, 0), 2);
  sim.registry.PutKey(reg::kClassesRoot, u"AppID\\{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}");
  sim.registry.DenyKey(reg::kClassesRoot, u"AppID\\{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}",
                       reg::kRead);
  EXPECT_EQ(ProcessEntry(host, 0), 5);
  EXPECT_TRUE(sim.eventLog.Events().empty());
  EXPECT_TRUE(sim.console.Text().empty());
}

TEST_F(ServiceHostTest, SetupFillsNamesAndStatusAndAddsTheErrorModeFlags) {
  sim.system.SetErrorMode(0x4);
  sim.registry.RemoveTree(reg::kClassesRoot, u"AppID");
  ProcessEntry(host, 0);
  EXPECT_EQ(std::u16string(host.serviceName), u"TALVMON");
  EXPECT_EQ(std::u16string(host.displayName), u"TALV Wardstone");
  EXPECT_EQ(sim.system.GetErrorMode(), 0x8005u);
  ServiceStatus s = host.Status();
  EXPECT_EQ(s.dwServiceType, 0x10u);
  EXPECT_EQ(s.dwCurrentState, 1u);
  EXPECT_EQ(s.dwControlsAccepted, 1u);
  EXPECT_EQ(host.runningAsService, 1);
}

TEST_F(ServiceHostTest, ServiceRunReportsTwoFourThreeOneAroundItsMessages) {
  MarkAsService();
  sim.scm.SetStartedByScm(true);
  auto process = StartProcess();
  ASSERT_TRUE(sim.scm.WaitForReportedState(svc::kRunning, 10s));
  EXPECT_EQ(EventTexts(), (std::vector<std::u16string>{resources::kTextServiceStarted}))
      << "\"Service started\" comes before the running state";

  // A control other than stop changes nothing.
  sim.scm.SendControl(svc::kControlInterrogate);
  ASSERT_TRUE(sim.scm.WaitForHandlerCalls(1, 10s));
  EXPECT_EQ(ReportedStates(), (std::vector<std::uint32_t>{2, 4}));

  sim.scm.SendControl(svc::kControlStop);
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(process.get(), 0);
  EXPECT_EQ(ReportedStates(), (std::vector<std::uint32_t>{2, 4, 3, 1}));
  for (const auto& r : sim.scm.Statuses()) {
    EXPECT_EQ(r.status.dwServiceType, 0x10u);
    EXPECT_EQ(r.status.dwControlsAccepted, 1u);
    EXPECT_EQ(r.status.dwWin32ExitCode, 0u);
    EXPECT_EQ(r.status.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(r.status.dwCheckPoint, 0u);
    EXPECT_EQ(r.status.dwWaitHint, 0u);
  }
  auto statuses = sim.scm.Statuses();
  EXPECT_EQ(statuses[2].thread, sim.scm.DispatcherThread()) << "stop pending comes from the handler";
  EXPECT_EQ(statuses[3].thread, sim.scm.ServiceThread());
  EXPECT_EQ(EventTexts(), (std::vector<std::u16string>{resources::kTextServiceStarted, resources::kTextServiceStopped}));
  for (const auto& e : sim.eventLog.Events()) {
    // The host's two are information; a tick's watch report here is 107.
    EXPECT_EQ(e.type, IsWatchReport(e.strings.at(0)) ? evt::kWarning : evt::kInformation);
    EXPECT_EQ(e.source, u"TALV Wardstone");
  }
  EXPECT_TRUE(sim.console.Text().empty());
  // COM: the multi-threaded apartment, the security call once, balanced.
  auto inits = sim.com.CallsOf(sim::SimCom::Op::InitializeEx);
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0].flags, 0u);
  EXPECT_EQ(sim.com.CallsOf(sim::SimCom::Op::InitializeSecurity).size(), 1u);
  EXPECT_EQ(sim.com.CallsOf(sim::SimCom::Op::Uninitialize).size(), 1u);
  EXPECT_TRUE(sim.com.CallsOf(sim::SimCom::Op::RegisterClassObject).empty());
}

TEST_F(ServiceHostTest, TheProcessEndsOnlyAfterServiceStoppedIsWritten) {
  MarkAsService();
  sim.scm.SetStartedByScm(true);
  auto process = StartProcess();
  ASSERT_TRUE(sim.scm.WaitForReportedState(svc::kRunning, 10s));
  // The first tick's watch report is written first: the report held below
  // must be "Service stopped".
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (sim.eventLog.Events().size() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(sim.eventLog.Events().size(), 2u);
  sim.eventLog.HoldReports();
  sim.scm.SendControl(svc::kControlStop);
  // "Service stopped" is on its way: the stopped state is reported, so the
  // dispatcher has returned to the main thread.
  ASSERT_TRUE(sim.eventLog.WaitForHeldReport(10s));
  ASSERT_TRUE(sim.scm.WaitForReportedState(svc::kStopped, 10s));
  EXPECT_EQ(process.wait_for(200ms), std::future_status::timeout)
      << "the process entry returned while the service thread was still writing";
  sim.eventLog.ReleaseReports();
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(EventTexts(), (std::vector<std::u16string>{resources::kTextServiceStarted, resources::kTextServiceStopped}));
}

TEST_F(ServiceHostTest, AStopAfterRunningButBeforeTheRunThreadHasAQueueIsNotLost) {
  MarkAsService();
  sim.scm.SetStartedByScm(true);
  // Held in "Service started": start pending, which takes no stop yet.
  sim.eventLog.HoldReports();
  sim.windowing.HoldDesktopWindow();
  auto process = StartProcess();
  ASSERT_TRUE(sim.eventLog.WaitForHeldReport(10s));
  EXPECT_EQ(sim.scm.SendControl(svc::kControlStop), err::kServiceCannotAcceptCtrl);
  // Held in its first windowing call: running is reported, and the quit
  // message cannot be posted yet.
  sim.eventLog.ReleaseReports();
  ASSERT_TRUE(sim.windowing.WaitForHeldDesktopWindow(10s));
  ASSERT_EQ(sim.scm.SendControl(svc::kControlStop), 0u);
  ASSERT_TRUE(sim.scm.WaitForHandlerCalls(1, 10s));
  EXPECT_FALSE(sim.windowing.HasQueue(host.runThreadId));
  sim.windowing.ReleaseDesktopWindow();
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(ReportedStates(), (std::vector<std::uint32_t>{2, 4, 3, 1}));
  EXPECT_EQ(EventTexts(), (std::vector<std::u16string>{resources::kTextServiceStarted, resources::kTextServiceStopped}));
}

TEST_F(ServiceHostTest, AStopDuringAShutdownReportsStopPendingBeforeEachStepThenStopped) {
  MarkAsService();
  sim.scm.SetStartedByScm(true);
  // The information store takes four polls to stop, with a hint of 1.5 s;
  // the other Exchange services are not installed.
  sim::ServiceBehaviour store;
  store.waitHint = 1500;
  store.stopPendingQueries = 3;
  sim.scm.InstallService(u"MSExchangeIS", store);
  ClusterApiBinding noCluster{sim.libraries, sim.system};
  CStoreDiskMonitor monitor(platform, host, noCluster);
  monitor.SetShutdownProgress(&host);
  // The shutdown runs on the run thread a second into the run, as a check
  // cycle runs it; the stop comes during the information store's first
  // pause and is handled before the shutdown goes on.
  sim.clock.At(1000, [&] { monitor.ShutdownExchange(); });
  sim.clock.At(1001, [&] {
    EXPECT_EQ(sim.scm.SendControl(svc::kControlStop), 0u);
    EXPECT_TRUE(sim.scm.WaitForHandlerCalls(1, 10s));
  });
  auto process = StartProcess();
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  struct Row {
    std::uint32_t state, checkPoint, waitHint;
    std::uint64_t atMs;
  };
  // Before each pause: the pause and a 10 s margin; before each service:
  // the 30 s a stop control may block, and the margin.
  const Row expected[] = {
      {2, 0, 0, 0},         {4, 0, 0, 0},         {3, 0, 0, 1001},      {3, 1, 11500, 2500},
      {3, 2, 11500, 4000},  {3, 3, 40000, 5500},  {3, 4, 40000, 5500},  {3, 5, 40000, 5500},
      {3, 6, 40000, 5500},  {1, 0, 0, 5500},
  };
  auto statuses = sim.scm.Statuses();
  ASSERT_EQ(statuses.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(statuses[i].status.dwCurrentState, expected[i].state) << i;
    EXPECT_EQ(statuses[i].status.dwCheckPoint, expected[i].checkPoint) << i;
    EXPECT_EQ(statuses[i].status.dwWaitHint, expected[i].waitHint) << i;
    EXPECT_EQ(statuses[i].atMs, expected[i].atMs) << i;
  }
  EXPECT_EQ(EventTexts(), (std::vector<std::u16string>{
                              resources::kTextServiceStarted, resources::kTextShutdownStarting,
                              resources::kTextShutdownDone, resources::kTextServiceStopped}));
  EXPECT_EQ(sim.scm.State(u"MSExchangeIS"), svc::kStopped);
}

TEST_F(ServiceHostTest, AFailingMessageQueueEndsTheRunAsAStopWould) {
  MarkAsService();
  sim.scm.SetStartedByScm(true);
  sim.windowing.faults().FailNext(sim::SimWindowing::Op::GetMessage, err::kInvalidHandle);
  auto process = StartProcess();
  const bool ended = process.wait_for(10s) == std::future_status::ready;
  EXPECT_TRUE(ended) << "the loop went on after GetMessage failed";
  if (!ended) (void)sim.scm.SendControl(svc::kControlStop);
  EXPECT_EQ(ReportedStates(), (std::vector<std::uint32_t>{2, 4, 1}));
  EXPECT_EQ(EventTexts(), (std::vector<std::u16string>{resources::kTextServiceStarted, resources::kTextServiceStopped}));
  EXPECT_EQ(sim.com.CallsOf(sim::SimCom::Op::Uninitialize).size(), 1u);
}

TEST_F(ServiceHostTest, HandlerThatCannotBeRegisteredWritesOneMessageAndEndsTheProcess) {
  MarkAsService();
  sim.scm.SetStartedByScm(true);
  sim.scm.faults().FailNext(SimServiceManager::Op::RegisterControlHandler, err::kServiceDoesNotExist);
  auto process = StartProcess();
  // The dispatcher returns only once the process has ended: nothing else
  // can end a service that reports no state.
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sim.system.ExitCode(), std::optional<std::uint32_t>(err::kServiceDoesNotExist));
  EXPECT_FALSE(sim.scm.DispatcherHung());
  ASSERT_EQ(sim.eventLog.Events().size(), 1u);
  EXPECT_EQ(sim.eventLog.Events()[0].strings[0], resources::kTextHandlerNotInstalled);
  EXPECT_EQ(sim.eventLog.Events()[0].type, evt::kError);
  EXPECT_TRUE(sim.scm.Statuses().empty());
  EXPECT_TRUE(sim.com.Calls().empty()) << "the run step is never entered";
}

TEST_F(ServiceHostTest, MonitorWindowThatCannotBeCreatedLeavesTheServiceStoppable) {
  MarkAsService();
  sim.scm.SetStartedByScm(true);
  sim.windowing.faults().FailNext(sim::SimWindowing::Op::CreateWindow, err::kNotEnoughMemory);
  auto process = StartProcess();
  ASSERT_TRUE(sim.scm.WaitForReportedState(svc::kRunning, 10s));
  sim.scm.SendControl(svc::kControlStop);
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(ReportedStates(), (std::vector<std::uint32_t>{2, 4, 3, 1}));
  EXPECT_EQ(sim.windowing.WindowCount(), 0u);
}

TEST_F(ServiceHostTest, PlainProcessWithoutLocalServiceWritesToStandardOutput) {
  auto process = StartProcess();
  // Only a quit message from outside ends a plain-process run.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (sim.console.Text().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  while (sim.windowing.WindowCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_NE(host.runThreadId.load(), 0u);
  EXPECT_EQ(sim.windowing.PostThreadMessage(host.runThreadId, wm::kQuit, 0, 0), 0u);
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(process.get(), 0);
  EXPECT_EQ(FirstConsoleLine(), std::u16string(resources::kTextServiceStarted) + u"\n");
  EXPECT_TRUE(sim.eventLog.Events().empty());
  EXPECT_TRUE(sim.scm.Statuses().empty());
  EXPECT_EQ(sim.scm.faults().Calls(SimServiceManager::Op::StartDispatcher), 0u);
}

TEST_F(ServiceHostTest, DispatcherThatCannotBeReachedFallsBackToAPlainProcess) {
  MarkAsService();
  sim.scm.SetStartedByScm(false);
  auto process = StartProcess();
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (sim.windowing.WindowCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  sim.windowing.PostThreadMessage(host.runThreadId, wm::kQuit, 0, 0);
  ASSERT_EQ(process.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(sim.scm.faults().Calls(SimServiceManager::Op::StartDispatcher), 1u);
  EXPECT_EQ(host.runningAsService, 0);
  EXPECT_EQ(FirstConsoleLine(), std::u16string(resources::kTextServiceStarted) + u"\n");
}

TEST_F(ServiceHostTest, StopBeforeTheLoopCanTakeMessagesIsNotLost) {
  host.Setup(ProgramClassTable(), 0, 100);
  // The stop arrives before the run thread has recorded itself.
  ControlHandler(svc::kControlStop);
  auto run = std::async(std::launch::async, [this] { host.RunService(); });
  ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
}

TEST(FindNextSwitchTest, YieldsTheRestAfterEverySeparator) {
  const char16_t* line = u"C:\\a-b\\x.exe /RegServer";
  const char16_t* t = FindNextSwitch(line, u"-/");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(std::u16string(t), u"b\\x.exe /RegServer");
  t = FindNextSwitch(t, u"-/");
  EXPECT_EQ(std::u16string(t), u"RegServer");
  EXPECT_EQ(FindNextSwitch(t, u"-/"), nullptr);
  EXPECT_EQ(FindNextSwitch(nullptr, u"-/"), nullptr);
  EXPECT_EQ(std::u16string(FindNextSwitch(u"-", u"-/")), u"");
}

}  // namespace
}  // namespace talv
