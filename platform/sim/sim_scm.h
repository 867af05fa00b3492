// The simulated Service Control Manager. Installed services follow a
// behaviour set by the test (the state they run in, how long they stay
// stop-pending and with which wait hint, whether they take the stop
// control), with Windows' answers for missing, stopped and deleted services
// and for handles lacking the needed access. The dispatcher side runs a
// service main on its own thread and the control handler on the thread that
// called the dispatcher, as the real one does; the test sends the controls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/scm.h"
#include "platform/sim/faults.h"
#include "platform/sim/service_behaviour.h"
#include "platform/sim/sim_clock.h"

namespace talv::sim {

class SimRegistry;

// What CreateService was given, kept for the test.
struct SimServiceConfig {
  std::u16string name;
  std::u16string displayName;
  std::u16string imagePath;
  std::u16string loadOrderGroup;
  std::vector<std::u16string> dependencies;
  std::u16string account;   // empty when none was passed
  std::u16string password;  // empty when none was passed
  std::uint32_t serviceType = 0;
  std::uint32_t startType = 0;
  std::uint32_t errorControl = 0;
  std::uint32_t desiredAccess = 0;
  // The failure (recovery) actions, as the test set them; nothing of the
  // port reads or writes them, and they go with the service.
  std::u16string failureActions;
};

class SimServiceManager final : public ServiceManager {
 public:
  enum class Op {
    OpenManager,
    OpenService,
    QueryStatus,
    Control,
    Create,
    ChangeConfig,
    Delete,
    Close,
    Start,
    StartDispatcher,
    RegisterControlHandler,
    SetStatus,
  };

  struct StopRequest {
    std::u16string service;  // as installed
    std::uint64_t atMs = 0;  // virtual time of the request
    WinError result = 0;     // what Control answered
  };
  struct StatusReport {
    ServiceStatus status;
    std::thread::id thread;
    std::uint64_t atMs = 0;
  };
  struct HandlerCall {
    std::uint32_t control = 0;
    std::thread::id thread;
  };

  // With a registry, a service's key HKLM\System\CurrentControlSet\Services\NAME
  // is made when it is created and removed, with all below it, when it goes.
  explicit SimServiceManager(SimClock& clock, SimRegistry* registry = nullptr);
  ~SimServiceManager() override;

  WinError OpenManager(std::uint32_t access, ScHandle* out) override;
  WinError OpenService(ScHandle manager, const char16_t* name, std::uint32_t access,
                       ScHandle* out) override;
  WinError QueryStatus(ScHandle service, ServiceStatus* status) override;
  WinError Control(ScHandle service, std::uint32_t control, ServiceStatus* status) override;
  WinError CreateService(ScHandle manager, const ServiceCreateParams& params,
                         ScHandle* out) override;
  WinError ChangeConfig(ScHandle service, const ServiceCreateParams& params) override;
  WinError DeleteService(ScHandle service) override;
  WinError CloseHandle(ScHandle handle) override;
  WinError Start(ScHandle service) override;

  WinError StartDispatcher(const char16_t* serviceName, ServiceMainFn main) override;
  WinError RegisterControlHandler(const char16_t* serviceName, ControlHandlerFn handler,
                                  StatusHandle* out) override;
  WinError SetStatus(StatusHandle handle, const ServiceStatus& status) override;

  // --- test side: installed services ----------------------------------
  FaultPlan<Op>& faults() { return faults_; }
  // Installs (or replaces) a service with a behaviour, in the behaviour's
  // state. Names compare without regard to case, as the SCM's do.
  void InstallService(std::u16string_view name, const ServiceBehaviour& behaviour = {});
  // Removes a service at once (open handles keep answering for it).
  void RemoveService(std::u16string_view name);
  bool IsInstalled(std::u16string_view name) const;
  // The service's current state (0 when not installed); not a status query.
  std::uint32_t State(std::u16string_view name) const;
  void SetState(std::u16string_view name, std::uint32_t state);
  void SetBehaviour(std::u16string_view name, const ServiceBehaviour& behaviour);
  // Status queries answered for the service so far.
  unsigned QueryCount(std::u16string_view name) const;
  // Every stop control that reached a service, in order.
  std::vector<StopRequest> StopRequests() const;
  // The configuration of an installed service (created or installed).
  std::optional<SimServiceConfig> Config(std::u16string_view name) const;
  // Changes an installed service's configuration as an administrator would.
  void EditConfig(std::u16string_view name, const std::function<void(SimServiceConfig&)>& edit);
  // Every successful ChangeConfig, in order, by name.
  std::vector<std::u16string> Reconfigured() const;
  // Every successful CreateService, in order, and every DeleteService that
  // marked a service, by name.
  std::vector<SimServiceConfig> Created() const;
  std::vector<std::u16string> Deleted() const;
  // Open manager and service handles right now.
  std::size_t OpenManagerCount() const;
  std::size_t OpenServiceCount() const;
  std::size_t OpenHandleCount() const { return OpenManagerCount() + OpenServiceCount(); }

  // --- test side: the dispatcher --------------------------------------
  // Whether this process counts as started by the SCM (default: not, so
  // the dispatcher fails at once with 1063). When it does, StartDispatcher
  // runs the service main on a new thread with the service name as its one
  // argument, runs the handler on its own thread for each control sent, and
  // returns, as the real one does, once SERVICE_STOPPED has been reported or
  // the process was ended (ProcessEnded), without waiting for the main.
  // Controls still queued then are dropped. A main that returns without
  // either would leave the real dispatcher waiting for ever: this one waits
  // the hang limit (real time), then records the hang and returns 0. A main
  // still running is joined by the next dispatcher call or the destructor.
  void SetStartedByScm(bool started);
  // Queues a control for the registered handler, as ControlService does;
  // the dispatcher's thread runs it. A stop is refused, as Windows refuses
  // it, while the service's last report (start pending until its first) is
  // start or stop pending (1061), and once it reported stopped (1062).
  // Callable from any thread.
  WinError SendControl(std::uint32_t control);
  // The process that runs the dispatcher has ended (SimSystem::ExitProcess
  // of the same simulated machine calls it).
  void ProcessEnded();
  // Whether the last dispatcher call gave up waiting after its main had
  // returned without reporting SERVICE_STOPPED or ending the process.
  bool DispatcherHung() const;
  // How long (real time) the dispatcher waits then: 20 s unless set, longer
  // than the host tests wait for a process to end.
  void SetHangLimit(std::chrono::milliseconds limit);
  // Every status report that reached the SCM, in order.
  std::vector<StatusReport> Statuses() const;
  // Every control the handler was run with, in order.
  std::vector<HandlerCall> HandlerCalls() const;
  // Waits (real time, as the service thread is real) until some report
  // carries `state`; false when `timeout` passed first.
  bool WaitForReportedState(std::uint32_t state, std::chrono::milliseconds timeout) const;
  // Waits until the handler has been run `count` times in all.
  bool WaitForHandlerCalls(std::size_t count, std::chrono::milliseconds timeout) const;
  // The threads of the last dispatcher run: the caller's and the service's.
  std::thread::id DispatcherThread() const;
  std::thread::id ServiceThread() const;
  // Whether a dispatcher call is in progress.
  bool DispatcherRunning() const;

 private:
  struct Service;
  struct OpenHandle {
    bool manager = false;
    std::uint32_t access = 0;
    std::shared_ptr<Service> service;  // for service handles
  };

  OpenHandle* Find(ScHandle h);
  ScHandle NewHandle(OpenHandle h);
  void Refresh(Service& s) const;
  ServiceStatus StatusOf(const Service& s) const;
  void ReleaseIfDeleted(const std::shared_ptr<Service>& s);
  void EraseService(std::map<std::u16string, std::shared_ptr<Service>>::iterator it) const;
  std::shared_ptr<Service> FindService(std::u16string_view name) const;

  SimClock& clock_;
  SimRegistry* registry_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  FaultPlan<Op> faults_;

  // By folded name; lookups drop services whose deletion has completed.
  mutable std::map<std::u16string, std::shared_ptr<Service>> services_;
  std::map<ScHandle, OpenHandle> handles_;
  ScHandle nextHandle_ = 0x2000;
  std::vector<StopRequest> stopRequests_;
  std::vector<SimServiceConfig> created_;
  std::vector<std::u16string> deleted_;
  std::vector<std::u16string> reconfigured_;

  bool startedByScm_ = false;
  bool dispatcherRunning_ = false;
  bool mainReturned_ = false;
  bool stoppedReported_ = false;
  bool processEnded_ = false;
  bool hung_ = false;
  std::chrono::milliseconds hangLimit_{20000};
  // The state the SCM last received, start pending from the dispatcher's start.
  std::uint32_t reportedState_ = svc::kStartPending;
  std::u16string dispatcherName_;
  ControlHandlerFn handler_ = nullptr;
  std::vector<StatusHandle> statusHandles_;
  StatusHandle nextStatusHandle_ = 0x7000;
  std::deque<std::uint32_t> controls_;
  std::vector<StatusReport> statuses_;
  std::vector<HandlerCall> handlerCalls_;
  std::thread::id dispatcherThread_;
  std::thread::id serviceThread_;
  std::thread worker_;  // the service main's thread of the last dispatcher run
};

}  // namespace talv::sim
