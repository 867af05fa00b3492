// The simulated SCM's own extras: service behaviours, what it records,
// handle counts, fault injection, and the dispatcher's thread model.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_scm.h"

namespace talv::sim {
namespace {

using namespace std::chrono_literals;
using Op = SimServiceManager::Op;

using svc::kClientAccess;

class SimScmTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(scm.OpenHandleCount(), 0u); }

  // Opens the manager and `name` with 0x34; both stay open until Close().
  void Open(const char16_t* name) {
    ASSERT_EQ(scm.OpenManager(svc::kManagerAllAccess, &manager), 0u);
    ASSERT_EQ(scm.OpenService(manager, name, kClientAccess, &service), 0u);
  }
  void Close() {
    if (service) {
      EXPECT_EQ(scm.CloseHandle(service), 0u);
    }
    if (manager) {
      EXPECT_EQ(scm.CloseHandle(manager), 0u);
    }
    service = manager = 0;
  }
  ServiceStatus Query() {
    ServiceStatus st;
    EXPECT_EQ(scm.QueryStatus(service, &st), 0u);
    return st;
  }

  SimClock clock;
  SimServiceManager scm{clock};
  ScHandle manager = 0, service = 0;
};

TEST_F(SimScmTest, StopPendingForNQueriesWithTheWaitHintThenStopped) {
  ServiceBehaviour b;
  b.waitHint = 250;
  b.stopPendingQueries = 3;
  scm.InstallService(u"MSExchangeIS", b);
  Open(u"msexchangeis");
  clock.Advance(1000);
  ServiceStatus st;
  ASSERT_EQ(scm.Control(service, svc::kControlStop, &st), 0u);
  EXPECT_EQ(st.dwCurrentState, svc::kStopPending);
  for (int i = 0; i < 3; ++i) {
    st = Query();
    EXPECT_EQ(st.dwCurrentState, svc::kStopPending) << "query " << i + 1;
    EXPECT_EQ(st.dwWaitHint, 250u);
  }
  st = Query();
  EXPECT_EQ(st.dwCurrentState, svc::kStopped);
  EXPECT_EQ(st.dwWaitHint, 0u);
  EXPECT_EQ(scm.QueryCount(u"MSExchangeIS"), 4u);
  auto stops = scm.StopRequests();
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].service, u"MSExchangeIS");
  EXPECT_EQ(stops[0].atMs, 1000u);
  EXPECT_EQ(stops[0].result, 0u);
  Close();
}

TEST_F(SimScmTest, NoPendingQueriesStopsAtOnceAndDelayFollowsTheVirtualClock) {
  scm.InstallService(u"Quick");
  ServiceBehaviour slow;
  slow.stopDelayMs = 5000;
  scm.InstallService(u"Slow", slow);
  Open(u"Quick");
  ASSERT_EQ(scm.Control(service, svc::kControlStop, nullptr), 0u);
  EXPECT_EQ(Query().dwCurrentState, svc::kStopped);
  Close();

  Open(u"Slow");
  ASSERT_EQ(scm.Control(service, svc::kControlStop, nullptr), 0u);
  clock.Advance(4999);
  EXPECT_EQ(Query().dwCurrentState, svc::kStopPending);
  clock.Advance(1);
  EXPECT_EQ(Query().dwCurrentState, svc::kStopped);
  Close();
}

TEST_F(SimScmTest, RefusedAndUnacceptedStopsAndStoppedServices) {
  ServiceBehaviour refusing;
  refusing.refuseStop = 1051;
  scm.InstallService(u"Refusing", refusing);
  ServiceBehaviour deaf;
  deaf.acceptStop = false;
  scm.InstallService(u"Deaf", deaf);
  ServiceBehaviour stopped;
  stopped.state = svc::kStopped;
  scm.InstallService(u"Idle", stopped);

  Open(u"Refusing");
  EXPECT_EQ(scm.Control(service, svc::kControlStop, nullptr), 1051u);
  EXPECT_EQ(Query().dwCurrentState, svc::kRunning);
  Close();
  Open(u"Deaf");
  EXPECT_EQ(scm.Control(service, svc::kControlStop, nullptr), err::kInvalidServiceControl);
  EXPECT_EQ(Query().dwControlsAccepted, 0u);
  Close();
  Open(u"Idle");
  EXPECT_EQ(scm.Control(service, svc::kControlStop, nullptr), err::kServiceNotActive);
  EXPECT_EQ(scm.Start(service), 0u);
  EXPECT_EQ(scm.State(u"Idle"), svc::kRunning) << "starting a stopped service runs it";
  Close();

  auto stops = scm.StopRequests();
  ASSERT_EQ(stops.size(), 3u) << "refused requests are recorded too";
  EXPECT_EQ(stops[0].result, 1051u);
  EXPECT_EQ(stops[1].result, err::kInvalidServiceControl);
  EXPECT_EQ(stops[2].result, err::kServiceNotActive);
  EXPECT_EQ(scm.QueryCount(u"Idle"), 0u) << "State() is not a status query";
}

TEST_F(SimScmTest, StartPendingAndPausedServicesReportTheirStates) {
  ServiceBehaviour starting;
  starting.state = svc::kStartPending;
  scm.InstallService(u"Starting", starting);
  ServiceBehaviour paused;
  paused.state = svc::kPaused;
  scm.InstallService(u"Paused", paused);
  Open(u"Starting");
  EXPECT_EQ(Query().dwCurrentState, svc::kStartPending);
  // Windows takes no stop before the running state; Wine does, so this is
  // the simulator's own test, not a contract.
  EXPECT_EQ(scm.Control(service, svc::kControlStop, nullptr), err::kServiceCannotAcceptCtrl);
  EXPECT_EQ(Query().dwCurrentState, svc::kStartPending);
  Close();
  Open(u"Paused");
  EXPECT_EQ(Query().dwCurrentState, svc::kPaused);
  scm.SetState(u"Paused", svc::kRunning);
  EXPECT_EQ(Query().dwCurrentState, svc::kRunning);
  Close();
}

TEST_F(SimScmTest, MissingServicesAndBadHandles) {
  ASSERT_EQ(scm.OpenManager(svc::kManagerAllAccess, &manager), 0u);
  ScHandle h = 0x77;
  EXPECT_EQ(scm.OpenService(manager, u"MSExchangeFB", kClientAccess, &h),
            err::kServiceDoesNotExist);
  EXPECT_EQ(h, 0x77u);
  ServiceStatus st;
  EXPECT_EQ(scm.QueryStatus(manager, &st), err::kInvalidHandle) << "a manager is no service";
  EXPECT_EQ(scm.OpenService(0x1234, u"X", kClientAccess, &h), err::kInvalidHandle);
  // A service removed while a handle is open keeps answering through it.
  scm.InstallService(u"Going");
  ASSERT_EQ(scm.OpenService(manager, u"Going", kClientAccess, &service), 0u);
  scm.RemoveService(u"Going");
  EXPECT_FALSE(scm.IsInstalled(u"Going"));
  EXPECT_EQ(Query().dwCurrentState, svc::kRunning);
  Close();
}

TEST_F(SimScmTest, CreateKeepsWhatWasPassedAndDeleteCompletesOnClose) {
  ASSERT_EQ(scm.OpenManager(svc::kManagerAllAccess, &manager), 0u);
  ServiceCreateParams p;
  p.serviceName = u"TALVMON";
  p.displayName = u"TALV Wardstone";
  p.binaryPathName = u"C:\\TALV\\talvmon.exe -Service";
  p.startType = 2;
  p.dependencies = u"RPCSS\0zvdriver\0";
  p.serviceStartName = u".\\svc";
  ScHandle created = 0;
  ASSERT_EQ(scm.CreateService(manager, p, &created), 0u);
  auto config = scm.Config(u"talvmon");
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->displayName, u"TALV Wardstone");
  EXPECT_EQ(config->imagePath, u"C:\\TALV\\talvmon.exe -Service");
  EXPECT_EQ(config->dependencies, (std::vector<std::u16string>{u"RPCSS", u"zvdriver"}));
  EXPECT_EQ(config->account, u".\\svc");
  EXPECT_EQ(config->startType, 2u);
  EXPECT_EQ(config->serviceType, svc::kWin32OwnProcess);
  EXPECT_EQ(scm.State(u"TALVMON"), svc::kStopped);

  ScHandle dup = 0;
  EXPECT_EQ(scm.CreateService(manager, p, &dup), err::kServiceExists);
  EXPECT_EQ(scm.OpenServiceCount(), 1u);

  ASSERT_EQ(scm.DeleteService(created), 0u);
  EXPECT_TRUE(scm.IsInstalled(u"TALVMON")) << "still there while a handle is open";
  EXPECT_EQ(scm.CreateService(manager, p, &dup), err::kServiceMarkedForDelete);
  EXPECT_EQ(scm.CloseHandle(created), 0u);
  EXPECT_FALSE(scm.IsInstalled(u"TALVMON"));
  EXPECT_EQ(scm.Created().size(), 1u);
  EXPECT_EQ(scm.Deleted(), (std::vector<std::u16string>{u"TALVMON"}));
  Close();
}

TEST_F(SimScmTest, ManagerWithoutCreateRightCannotCreate) {
  ASSERT_EQ(scm.OpenManager(0x0001 /* SC_MANAGER_CONNECT */, &manager), 0u);
  ServiceCreateParams p;
  p.serviceName = u"TALVMON";
  p.binaryPathName = u"C:\\talvmon.exe";
  ScHandle h = 0;
  EXPECT_EQ(scm.CreateService(manager, p, &h), err::kAccessDenied);
  EXPECT_FALSE(scm.IsInstalled(u"TALVMON"));
  Close();
}

TEST_F(SimScmTest, CountsManagerAndServiceHandlesApart) {
  scm.InstallService(u"A");
  Open(u"A");
  ScHandle second = 0;
  ASSERT_EQ(scm.OpenService(manager, u"a", kClientAccess, &second), 0u);
  EXPECT_EQ(scm.OpenManagerCount(), 1u);
  EXPECT_EQ(scm.OpenServiceCount(), 2u);
  EXPECT_EQ(scm.CloseHandle(second), 0u);
  EXPECT_EQ(scm.CloseHandle(second), err::kInvalidHandle);
  Close();
}

TEST_F(SimScmTest, EveryOperationCanBeMadeToFail) {
  scm.InstallService(u"A");
  ScHandle h = 0x99;
  scm.faults().FailNext(Op::OpenManager, err::kAccessDenied);
  EXPECT_EQ(scm.OpenManager(svc::kManagerAllAccess, &h), err::kAccessDenied);
  EXPECT_EQ(h, 0x99u);
  EXPECT_EQ(scm.OpenManagerCount(), 0u);

  ASSERT_EQ(scm.OpenManager(svc::kManagerAllAccess, &manager), 0u);
  scm.faults().FailNext(Op::OpenService, 1450);
  EXPECT_EQ(scm.OpenService(manager, u"A", kClientAccess, &h), 1450u);
  EXPECT_EQ(h, 0x99u);
  ASSERT_EQ(scm.OpenService(manager, u"A", kClientAccess, &service), 0u);

  ServiceStatus st;
  st.dwCurrentState = 42;
  scm.faults().FailNext(Op::QueryStatus, err::kServiceDoesNotExist);
  EXPECT_EQ(scm.QueryStatus(service, &st), err::kServiceDoesNotExist);
  EXPECT_EQ(st.dwCurrentState, 42u);
  EXPECT_EQ(scm.QueryCount(u"A"), 0u);

  scm.faults().FailNext(Op::Control, err::kBrokenPipe);
  EXPECT_EQ(scm.Control(service, svc::kControlStop, nullptr), err::kBrokenPipe);
  EXPECT_TRUE(scm.StopRequests().empty()) << "a failed call never reached the service";
  EXPECT_EQ(scm.State(u"A"), svc::kRunning);

  scm.faults().FailNext(Op::Start, 1058);
  EXPECT_EQ(scm.Start(service), 1058u);

  ServiceCreateParams p;
  p.serviceName = u"B";
  p.binaryPathName = u"C:\\b.exe";
  scm.faults().FailNext(Op::Create, err::kAccessDenied);
  EXPECT_EQ(scm.CreateService(manager, p, &h), err::kAccessDenied);
  EXPECT_FALSE(scm.IsInstalled(u"B"));

  ScHandle all = 0;
  ASSERT_EQ(scm.OpenService(manager, u"A", svc::kAllAccess, &all), 0u);
  scm.faults().FailNext(Op::Delete, err::kAccessDenied);
  EXPECT_EQ(scm.DeleteService(all), err::kAccessDenied);
  EXPECT_TRUE(scm.Deleted().empty());

  scm.faults().FailNext(Op::Close, err::kInvalidHandle);
  EXPECT_EQ(scm.CloseHandle(all), err::kInvalidHandle);
  EXPECT_EQ(scm.OpenServiceCount(), 2u) << "a failed close keeps the handle open";
  EXPECT_EQ(scm.CloseHandle(all), 0u);
  Close();
}

// --- the dispatcher side ------------------------------------------------

// A small service main and handler in the shape the service runtime has:
// the handler reports stop-pending and wakes the main, which reports
// stopped from its own thread.
struct FakeRuntime {
  SimServiceManager* scm = nullptr;
  StatusHandle status = 0;
  WinError registerResult = 0;
  std::mutex mutex;
  std::condition_variable stop;
  bool stopRequested = false;
  // The main waits after its stopped report until `released`.
  bool holdAfterStopped = false, released = false, mainDone = false;
  std::vector<std::u16string> argv0;
  // A main whose handler cannot be registered ends the process, or returns.
  bool endProcessWithoutHandler = false;
};
FakeRuntime* g_runtime = nullptr;

void Report(std::uint32_t state) {
  ServiceStatus st;
  st.dwServiceType = svc::kWin32OwnProcess;
  st.dwCurrentState = state;
  st.dwControlsAccepted = svc::kAcceptStop;
  g_runtime->scm->SetStatus(g_runtime->status, st);
}

void FakeHandler(std::uint32_t control) {
  if (control != svc::kControlStop) return;
  Report(svc::kStopPending);
  std::lock_guard<std::mutex> lock(g_runtime->mutex);
  g_runtime->stopRequested = true;
  g_runtime->stop.notify_all();
}

void FakeMain(std::uint32_t argc, char16_t** argv) {
  if (argc > 0) g_runtime->argv0.emplace_back(argv[0]);
  g_runtime->registerResult =
      g_runtime->scm->RegisterControlHandler(u"TALVMON", &FakeHandler, &g_runtime->status);
  if (g_runtime->registerResult != 0) {
    if (g_runtime->endProcessWithoutHandler) g_runtime->scm->ProcessEnded();
    return;
  }
  Report(svc::kStartPending);
  Report(svc::kRunning);
  std::unique_lock<std::mutex> lock(g_runtime->mutex);
  g_runtime->stop.wait(lock, [] { return g_runtime->stopRequested; });
  lock.unlock();
  // The dispatcher returns at this report; what follows may run after the
  // test body (the runtime outlives the SCM, which joins this thread).
  FakeRuntime* rt = g_runtime;
  Report(svc::kStopped);
  lock.lock();
  rt->stop.wait(lock, [rt] { return !rt->holdAfterStopped || rt->released; });
  rt->mainDone = true;
  rt->stop.notify_all();
}

class SimDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime.scm = &scm;
    g_runtime = &runtime;
  }
  void TearDown() override { g_runtime = nullptr; }

  SimClock clock;
  FakeRuntime runtime;
  SimServiceManager scm{clock};
};

TEST_F(SimDispatcherTest, NotStartedByTheScmFailsAtOnceWithoutRunningMain) {
  EXPECT_EQ(scm.StartDispatcher(u"TALVMON", &FakeMain), err::kFailedServiceControllerConnect);
  EXPECT_TRUE(runtime.argv0.empty());
  StatusHandle h = 0;
  EXPECT_EQ(scm.RegisterControlHandler(u"TALVMON", &FakeHandler, &h),
            err::kFailedServiceControllerConnect)
      << "no handler without a dispatcher";
}

TEST_F(SimDispatcherTest, MainOnItsOwnThreadHandlerOnTheCallersAndReturnAfterStop) {
  scm.SetStartedByScm(true);
  WinError result = 0xFFFF;
  std::thread::id callerThread;
  std::thread processMain([&] {
    callerThread = std::this_thread::get_id();
    result = scm.StartDispatcher(u"TALVMON", &FakeMain);
  });
  ASSERT_TRUE(scm.WaitForReportedState(svc::kRunning, 10s));
  EXPECT_TRUE(scm.DispatcherRunning());
  scm.SendControl(svc::kControlInterrogate);  // the handler ignores it
  scm.SendControl(svc::kControlStop);
  processMain.join();
  EXPECT_EQ(result, 0u);
  EXPECT_FALSE(scm.DispatcherRunning());

  EXPECT_EQ(runtime.argv0, (std::vector<std::u16string>{u"TALVMON"}));
  EXPECT_EQ(scm.DispatcherThread(), callerThread);
  EXPECT_NE(scm.ServiceThread(), callerThread);

  auto calls = scm.HandlerCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].control, svc::kControlInterrogate);
  EXPECT_EQ(calls[1].control, svc::kControlStop);
  for (const auto& c : calls) EXPECT_EQ(c.thread, callerThread);

  auto reports = scm.Statuses();
  ASSERT_EQ(reports.size(), 4u);
  const std::uint32_t states[] = {svc::kStartPending, svc::kRunning, svc::kStopPending,
                                  svc::kStopped};
  const std::thread::id threads[] = {scm.ServiceThread(), scm.ServiceThread(), callerThread,
                                     scm.ServiceThread()};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(reports[i].status.dwCurrentState, states[i]) << i;
    EXPECT_EQ(reports[i].status.dwServiceType, svc::kWin32OwnProcess);
    EXPECT_EQ(reports[i].status.dwControlsAccepted, svc::kAcceptStop);
    EXPECT_EQ(reports[i].thread, threads[i]) << i;
  }
}

TEST_F(SimDispatcherTest, ReturnsAtTheStoppedReportWithoutWaitingForTheMain) {
  scm.SetStartedByScm(true);
  runtime.holdAfterStopped = true;
  WinError result = 0xFFFF;
  std::thread processMain([&] { result = scm.StartDispatcher(u"TALVMON", &FakeMain); });
  ASSERT_TRUE(scm.WaitForReportedState(svc::kRunning, 10s));
  scm.SendControl(svc::kControlStop);
  processMain.join();
  EXPECT_EQ(result, 0u);
  EXPECT_FALSE(scm.DispatcherRunning());
  std::unique_lock<std::mutex> lock(runtime.mutex);
  EXPECT_FALSE(runtime.mainDone);
  runtime.released = true;
  runtime.stop.notify_all();
  EXPECT_TRUE(runtime.stop.wait_for(lock, 10s, [this] { return runtime.mainDone; }));
}

TEST_F(SimDispatcherTest, StopIsRefusedUntilRunningAndAfterStoppedOtherControlsWaitForTheHandler) {
  scm.SetStartedByScm(true);
  // Before anything runs the service is start pending.
  EXPECT_EQ(scm.SendControl(svc::kControlStop), err::kServiceCannotAcceptCtrl);
  EXPECT_EQ(scm.SendControl(svc::kControlInterrogate), 0u);
  WinError result = 0xFFFF;
  std::thread processMain([&] { result = scm.StartDispatcher(u"TALVMON", &FakeMain); });
  ASSERT_TRUE(scm.WaitForReportedState(svc::kRunning, 10s));
  EXPECT_EQ(scm.SendControl(svc::kControlStop), 0u);
  processMain.join();
  EXPECT_EQ(result, 0u);
  auto calls = scm.HandlerCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].control, svc::kControlInterrogate);
  EXPECT_EQ(scm.Statuses().back().status.dwCurrentState, svc::kStopped);
  EXPECT_EQ(scm.SendControl(svc::kControlStop), err::kServiceNotActive);
}

TEST_F(SimDispatcherTest, AMainWithoutHandlerReturnsOnlyWhenItEndsTheProcess) {
  scm.SetStartedByScm(true);
  // Windows' dispatcher would wait for ever without the process's end.
  scm.SetHangLimit(50ms);
  for (bool ends : {true, false}) {
    runtime.endProcessWithoutHandler = ends;
    scm.faults().FailNext(Op::RegisterControlHandler, err::kInvalidParameter);
    EXPECT_EQ(scm.StartDispatcher(u"TALVMON", &FakeMain), 0u);
    EXPECT_EQ(runtime.registerResult, err::kInvalidParameter);
    EXPECT_EQ(scm.DispatcherHung(), !ends);
  }
  EXPECT_TRUE(scm.Statuses().empty());
}

TEST_F(SimDispatcherTest, WrongNameFailedStatusAndSecondDispatcher) {
  scm.SetStartedByScm(true);
  static SimServiceManager* s = nullptr;
  static WinError wrongName = 0, badHandle = 0, faulted = 0, nested = 0;
  s = &scm;
  EXPECT_EQ(scm.StartDispatcher(u"TALVMON",
                                [](std::uint32_t, char16_t**) {
                                  StatusHandle h = 0;
                                  wrongName = s->RegisterControlHandler(u"OTHER", &FakeHandler, &h);
                                  ASSERT_EQ(s->RegisterControlHandler(u"talvmon", &FakeHandler, &h), 0u);
                                  ServiceStatus st;
                                  st.dwCurrentState = svc::kStopped;
                                  badHandle = s->SetStatus(h + 1, st);
                                  s->faults().FailNext(Op::SetStatus, err::kInvalidParameter);
                                  faulted = s->SetStatus(h, st);
                                  nested = s->StartDispatcher(u"TALVMON", &FakeMain);
                                  s->SetStatus(h, st);
                                }),
            0u);
  EXPECT_EQ(wrongName, 1083u);  // ERROR_SERVICE_NOT_IN_EXE
  EXPECT_EQ(badHandle, err::kInvalidHandle);
  EXPECT_EQ(faulted, err::kInvalidParameter);
  EXPECT_EQ(nested, err::kServiceAlreadyRunning);
  EXPECT_EQ(scm.Statuses().size(), 1u) << "only the report that reached the SCM is kept";
  EXPECT_TRUE(runtime.argv0.empty());
}

TEST_F(SimDispatcherTest, DispatcherFaultComesFirst) {
  scm.SetStartedByScm(true);
  scm.faults().FailNext(Op::StartDispatcher, err::kInvalidParameter);
  EXPECT_EQ(scm.StartDispatcher(u"TALVMON", &FakeMain), err::kInvalidParameter);
  EXPECT_TRUE(runtime.argv0.empty());
}

}  // namespace
}  // namespace talv::sim
