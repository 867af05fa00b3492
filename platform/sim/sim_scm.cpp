#include "platform/sim/sim_scm.h"

#include <algorithm>

#include "platform/sim/sim_registry.h"
#include "platform/sim/text.h"

namespace talv::sim {

namespace {
constexpr WinError kInvalidName = 123;        // ERROR_INVALID_NAME
constexpr WinError kServiceNotInExe = 1083;   // ERROR_SERVICE_NOT_IN_EXE
constexpr std::uint32_t kManagerCreateService = 0x0002;
constexpr std::uint32_t kServiceInterrogate = 0x0080;
constexpr std::uint32_t kAcceptPauseContinue = 0x0002;
constexpr std::u16string_view kServicesKey = u"System\\CurrentControlSet\\Services\\";

std::vector<std::u16string> SplitMultiString(const char16_t* list) {
  std::vector<std::u16string> out;
  if (!list) return out;
  while (*list) {
    std::u16string item(list);
    list += item.size() + 1;
    out.push_back(std::move(item));
  }
  return out;
}
}  // namespace

struct SimServiceManager::Service {
  SimServiceConfig config;
  ServiceBehaviour behaviour;
  std::uint32_t state = svc::kStopped;
  bool markedForDelete = false;
  unsigned queries = 0;
  unsigned openHandles = 0;
  // Stop-pending bookkeeping after an accepted stop.
  unsigned pendingQueriesLeft = 0;
  std::uint64_t stopDueMs = 0;
  std::uint64_t stopTakenMs = 0;
};

SimServiceManager::SimServiceManager(SimClock& clock, SimRegistry* registry)
    : clock_(clock), registry_(registry) {}

void SimServiceManager::EraseService(
    std::map<std::u16string, std::shared_ptr<Service>>::iterator it) const {
  // The service's key goes with it, and with the key its Parameters.
  if (registry_) registry_->RemoveTree(reg::kLocalMachine, std::u16string(kServicesKey) + it->second->config.name);
  services_.erase(it);
}
SimServiceManager::~SimServiceManager() {
  // A service main still running after its dispatcher returned ends here.
  if (worker_.joinable()) worker_.join();
}

SimServiceManager::OpenHandle* SimServiceManager::Find(ScHandle h) {
  auto it = handles_.find(h);
  return it == handles_.end() ? nullptr : &it->second;
}

ScHandle SimServiceManager::NewHandle(OpenHandle h) {
  ScHandle id = nextHandle_;
  nextHandle_ += 8;
  if (h.service) ++h.service->openHandles;
  handles_.emplace(id, std::move(h));
  return id;
}

std::shared_ptr<SimServiceManager::Service> SimServiceManager::FindService(
    std::u16string_view name) const {
  auto it = services_.find(Folded(name));
  if (it == services_.end()) return nullptr;
  Service& s = *it->second;
  // A service marked for deletion that has since stopped, with no handle
  // open, is gone.
  if (s.markedForDelete && s.openHandles == 0) {
    Refresh(s);
    if (s.state == svc::kStopped) {
      EraseService(it);
      return nullptr;
    }
  }
  return it->second;
}

void SimServiceManager::Refresh(Service& s) const {
  if (s.state == svc::kStopPending && s.pendingQueriesLeft == 0 && clock_.NowMs() >= s.stopDueMs)
    s.state = svc::kStopped;
}

ServiceStatus SimServiceManager::StatusOf(const Service& s) const {
  ServiceStatus st;
  st.dwServiceType = s.config.serviceType ? s.config.serviceType : svc::kWin32OwnProcess;
  st.dwCurrentState = s.state;
  switch (s.state) {
    case svc::kRunning:
    case svc::kStartPending:
      st.dwControlsAccepted = s.behaviour.acceptStop ? svc::kAcceptStop : 0;
      break;
    case svc::kPaused:
      st.dwControlsAccepted =
          (s.behaviour.acceptStop ? svc::kAcceptStop : 0) | kAcceptPauseContinue;
      break;
    default:
      st.dwControlsAccepted = 0;
  }
  if (s.state == svc::kStartPending || s.state == svc::kStopPending) st.dwCheckPoint = 1;
  if (s.state == svc::kStopPending && s.behaviour.checkPointEveryMs != 0)
    st.dwCheckPoint += static_cast<std::uint32_t>((clock_.NowMs() - s.stopTakenMs) / s.behaviour.checkPointEveryMs);
  if (s.state == svc::kStopPending) st.dwWaitHint = s.behaviour.waitHint;
  return st;
}

void SimServiceManager::ReleaseIfDeleted(const std::shared_ptr<Service>& s) {
  // A service marked for deletion goes once it is stopped and no handle
  // to it is open any more.
  if (!s || !s->markedForDelete || s->openHandles != 0) return;
  Refresh(*s);
  if (s->state != svc::kStopped) return;
  auto it = services_.find(Folded(s->config.name));
  if (it != services_.end() && it->second == s) EraseService(it);
}

WinError SimServiceManager::OpenManager(std::uint32_t access, ScHandle* out) {
  if (WinError f = faults_.Enter(Op::OpenManager)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out) return err::kInvalidParameter;
  *out = NewHandle(OpenHandle{true, access, nullptr});
  return err::kSuccess;
}

WinError SimServiceManager::OpenService(ScHandle manager, const char16_t* name,
                                        std::uint32_t access, ScHandle* out) {
  if (WinError f = faults_.Enter(Op::OpenService)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  OpenHandle* m = Find(manager);
  if (!m || !m->manager) return err::kInvalidHandle;
  if (!name) return kInvalidName;
  if (!out) return err::kInvalidParameter;
  auto s = FindService(name);
  if (!s) return err::kServiceDoesNotExist;
  *out = NewHandle(OpenHandle{false, access, s});
  return err::kSuccess;
}

WinError SimServiceManager::QueryStatus(ScHandle service, ServiceStatus* status) {
  if (WinError f = faults_.Enter(Op::QueryStatus)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  OpenHandle* h = Find(service);
  if (!h || h->manager) return err::kInvalidHandle;
  if ((h->access & svc::kQueryStatus) == 0) return err::kAccessDenied;
  if (!status) return err::kInvalidParameter;
  Service& s = *h->service;
  Refresh(s);
  ++s.queries;
  *status = StatusOf(s);
  if (s.state == svc::kStopPending && s.pendingQueriesLeft > 0) --s.pendingQueriesLeft;
  return err::kSuccess;
}

WinError SimServiceManager::Control(ScHandle service, std::uint32_t control,
                                    ServiceStatus* status) {
  if (WinError f = faults_.Enter(Op::Control)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  OpenHandle* h = Find(service);
  if (!h || h->manager) return err::kInvalidHandle;
  Service& s = *h->service;
  Refresh(s);
  WinError result = err::kSuccess;
  if (control == svc::kControlStop) {
    if ((h->access & svc::kStop) == 0) return err::kAccessDenied;
    if (s.state == svc::kStopped) {
      result = err::kServiceNotActive;
    } else if (s.state == svc::kStopPending || s.state == svc::kStartPending) {
      // Windows takes no stop before the running state was reported (Wine
      // delivers one to a start-pending service).
      result = err::kServiceCannotAcceptCtrl;
    } else if (!s.behaviour.acceptStop) {
      result = err::kInvalidServiceControl;
    } else if (s.behaviour.refuseStop != 0) {
      result = s.behaviour.refuseStop;
    } else if (s.behaviour.stopPendingQueries == 0 && s.behaviour.stopDelayMs == 0) {
      s.state = svc::kStopped;
    } else {
      s.state = svc::kStopPending;
      s.pendingQueriesLeft = s.behaviour.stopPendingQueries;
      s.stopDueMs = clock_.NowMs() + s.behaviour.stopDelayMs;
      s.stopTakenMs = clock_.NowMs();
    }
    stopRequests_.push_back(StopRequest{s.config.name, clock_.NowMs(), result});
  } else if (control == svc::kControlInterrogate) {
    if ((h->access & kServiceInterrogate) == 0) return err::kAccessDenied;
    if (s.state == svc::kStopped) result = err::kServiceNotActive;
  } else {
    result = s.state == svc::kStopped ? err::kServiceNotActive : err::kInvalidServiceControl;
  }
  // Wine returns a status only with success (Windows fills it for some
  // failures too; no caller reads it then).
  if (status && result == err::kSuccess) *status = StatusOf(s);
  return result;
}

WinError SimServiceManager::CreateService(ScHandle manager, const ServiceCreateParams& p,
                                          ScHandle* out) {
  if (WinError f = faults_.Enter(Op::Create)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  OpenHandle* m = Find(manager);
  if (!m || !m->manager) return err::kInvalidHandle;
  if ((m->access & kManagerCreateService) == 0) return err::kAccessDenied;
  if (!p.serviceName || !*p.serviceName) return kInvalidName;
  if (!p.binaryPathName || !*p.binaryPathName || !out) return err::kInvalidParameter;
  if (auto existing = FindService(p.serviceName))
    return existing->markedForDelete ? err::kServiceMarkedForDelete : err::kServiceExists;
  auto s = std::make_shared<Service>();
  SimServiceConfig& c = s->config;
  c.name = p.serviceName;
  c.displayName = p.displayName ? p.displayName : p.serviceName;
  c.imagePath = p.binaryPathName;
  c.loadOrderGroup = FromNullable(p.loadOrderGroup);
  c.dependencies = SplitMultiString(p.dependencies);
  c.account = FromNullable(p.serviceStartName);
  c.password = FromNullable(p.password);
  c.serviceType = p.serviceType;
  c.startType = p.startType;
  c.errorControl = p.errorControl;
  c.desiredAccess = p.desiredAccess;
  s->state = svc::kStopped;
  services_[Folded(c.name)] = s;
  if (registry_) registry_->PutKey(reg::kLocalMachine, std::u16string(kServicesKey) + c.name);
  created_.push_back(c);
  *out = NewHandle(OpenHandle{false, p.desiredAccess, s});
  return err::kSuccess;
}

WinError SimServiceManager::ChangeConfig(ScHandle service, const ServiceCreateParams& p) {
  if (WinError f = faults_.Enter(Op::ChangeConfig)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  OpenHandle* h = Find(service);
  if (!h || h->manager) return err::kInvalidHandle;
  if ((h->access & svc::kChangeConfig) == 0) return err::kAccessDenied;
  Service& s = *h->service;
  if (s.markedForDelete) return err::kServiceMarkedForDelete;
  SimServiceConfig& c = s.config;
  if (p.serviceType != svc::kNoChange) c.serviceType = p.serviceType;
  if (p.startType != svc::kNoChange) c.startType = p.startType;
  if (p.errorControl != svc::kNoChange) c.errorControl = p.errorControl;
  if (p.binaryPathName) c.imagePath = p.binaryPathName;
  if (p.loadOrderGroup) c.loadOrderGroup = p.loadOrderGroup;
  if (p.dependencies) c.dependencies = SplitMultiString(p.dependencies);
  if (p.serviceStartName) c.account = p.serviceStartName;
  if (p.password) c.password = p.password;
  if (p.displayName) c.displayName = p.displayName;
  reconfigured_.push_back(c.name);
  return err::kSuccess;
}

WinError SimServiceManager::DeleteService(ScHandle service) {
  if (WinError f = faults_.Enter(Op::Delete)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  OpenHandle* h = Find(service);
  if (!h || h->manager) return err::kInvalidHandle;
  if ((h->access & svc::kDelete) == 0) return err::kAccessDenied;
  Service& s = *h->service;
  if (s.markedForDelete) return err::kServiceMarkedForDelete;
  s.markedForDelete = true;
  deleted_.push_back(s.config.name);
  return err::kSuccess;
}

WinError SimServiceManager::CloseHandle(ScHandle handle) {
  if (WinError f = faults_.Enter(Op::Close)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return err::kInvalidHandle;
  std::shared_ptr<Service> s = it->second.service;
  handles_.erase(it);
  if (s) {
    --s->openHandles;
    ReleaseIfDeleted(s);
  }
  return err::kSuccess;
}

WinError SimServiceManager::Start(ScHandle service) {
  if (WinError f = faults_.Enter(Op::Start)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  OpenHandle* h = Find(service);
  if (!h || h->manager) return err::kInvalidHandle;
  if ((h->access & svc::kStart) == 0) return err::kAccessDenied;
  Service& s = *h->service;
  Refresh(s);
  // Wine starts a service marked for deletion too (Windows answers 1072).
  if (s.state != svc::kStopped) return err::kServiceAlreadyRunning;
  s.state = s.behaviour.state == svc::kStopped ? svc::kRunning : s.behaviour.state;
  s.pendingQueriesLeft = 0;
  return err::kSuccess;
}

WinError SimServiceManager::StartDispatcher(const char16_t* serviceName, ServiceMainFn main) {
  if (WinError f = faults_.Enter(Op::StartDispatcher)) return f;
  std::u16string name = FromNullable(serviceName);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!startedByScm_) return err::kFailedServiceControllerConnect;
    if (dispatcherRunning_) return err::kServiceAlreadyRunning;
    if (!main) return err::kInvalidParameter;
    dispatcherRunning_ = true;
    mainReturned_ = false;
    stoppedReported_ = false;
    processEnded_ = false;
    hung_ = false;
    reportedState_ = svc::kStartPending;
    dispatcherName_ = name;
    handler_ = nullptr;
    statusHandles_.clear();
    dispatcherThread_ = std::this_thread::get_id();
  }
  // The main of an earlier run has had all the time it needed.
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, main, name] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      serviceThread_ = std::this_thread::get_id();
    }
    std::u16string arg0 = name;
    char16_t* argv[2] = {arg0.data(), nullptr};
    main(1, argv);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      mainReturned_ = true;
    }
    changed_.notify_all();
  });
  // The calling thread runs the handler for every control until the
  // service has reported the stopped state or the process was ended; what
  // is still queued then is dropped. Like the real dispatcher it does not
  // wait for the main: that thread may still be running when this returns.
  // A main that returned without either leaves Windows' dispatcher waiting
  // for ever; here the wait ends after the hang limit (real time), so that
  // a test sees the hang instead of sitting in it.
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return stoppedReported_ || processEnded_ || mainReturned_ || (handler_ && !controls_.empty());
    });
    if (stoppedReported_ || processEnded_) break;
    if (mainReturned_) {
      if (!changed_.wait_for(lock, hangLimit_, [this] { return stoppedReported_ || processEnded_; }))
        hung_ = true;
      break;
    }
    std::uint32_t control = controls_.front();
    controls_.pop_front();
    ControlHandlerFn handler = handler_;
    lock.unlock();
    handler(control);
    lock.lock();
    handlerCalls_.push_back(HandlerCall{control, std::this_thread::get_id()});
    changed_.notify_all();
  }
  controls_.clear();
  dispatcherRunning_ = false;
  const bool mainDone = mainReturned_;
  lock.unlock();
  if (mainDone) worker_.join();
  changed_.notify_all();
  return err::kSuccess;
}

WinError SimServiceManager::RegisterControlHandler(const char16_t* serviceName,
                                                   ControlHandlerFn handler, StatusHandle* out) {
  if (WinError f = faults_.Enter(Op::RegisterControlHandler)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dispatcherRunning_) return err::kFailedServiceControllerConnect;
  if (!serviceName || Folded(serviceName) != Folded(dispatcherName_)) return kServiceNotInExe;
  if (!handler || !out) return err::kInvalidParameter;
  handler_ = handler;
  StatusHandle h = nextStatusHandle_;
  nextStatusHandle_ += 8;
  statusHandles_.push_back(h);
  *out = h;
  changed_.notify_all();
  return err::kSuccess;
}

WinError SimServiceManager::SetStatus(StatusHandle handle, const ServiceStatus& status) {
  if (WinError f = faults_.Enter(Op::SetStatus)) return f;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(statusHandles_.begin(), statusHandles_.end(), handle) == statusHandles_.end())
      return err::kInvalidHandle;
    statuses_.push_back(StatusReport{status, std::this_thread::get_id(), clock_.NowMs()});
    reportedState_ = status.dwCurrentState;
    if (status.dwCurrentState == svc::kStopped) stoppedReported_ = true;
  }
  changed_.notify_all();
  return err::kSuccess;
}

// --- test side -----------------------------------------------------------

void SimServiceManager::InstallService(std::u16string_view name,
                                       const ServiceBehaviour& behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto s = std::make_shared<Service>();
  s->config.name = std::u16string(name);
  s->config.displayName = std::u16string(name);
  s->config.serviceType = svc::kWin32OwnProcess;
  s->config.startType = svc::kDemandStart;
  s->config.errorControl = svc::kErrorNormal;
  s->behaviour = behaviour;
  s->state = behaviour.state;
  services_[Folded(name)] = s;
}

void SimServiceManager::RemoveService(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  services_.erase(Folded(name));
}

bool SimServiceManager::IsInstalled(std::u16string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FindService(name) != nullptr;
}

std::uint32_t SimServiceManager::State(std::u16string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto s = FindService(name);
  if (!s) return 0;
  Refresh(*s);
  return s->state;
}

void SimServiceManager::SetState(std::u16string_view name, std::uint32_t state) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto s = FindService(name);
  if (!s) return;
  s->state = state;
  s->pendingQueriesLeft = 0;
  ReleaseIfDeleted(s);
}

void SimServiceManager::SetBehaviour(std::u16string_view name,
                                     const ServiceBehaviour& behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto s = FindService(name)) s->behaviour = behaviour;
}

unsigned SimServiceManager::QueryCount(std::u16string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto s = FindService(name);
  return s ? s->queries : 0;
}

std::vector<SimServiceManager::StopRequest> SimServiceManager::StopRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopRequests_;
}

std::optional<SimServiceConfig> SimServiceManager::Config(std::u16string_view name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto s = FindService(name);
  if (!s) return std::nullopt;
  return s->config;
}

void SimServiceManager::EditConfig(std::u16string_view name,
                                   const std::function<void(SimServiceConfig&)>& edit) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto s = FindService(name)) edit(s->config);
}

std::vector<std::u16string> SimServiceManager::Reconfigured() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reconfigured_;
}

std::vector<SimServiceConfig> SimServiceManager::Created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return created_;
}

std::vector<std::u16string> SimServiceManager::Deleted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deleted_;
}

std::size_t SimServiceManager::OpenManagerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(handles_.begin(), handles_.end(), [](const auto& h) { return h.second.manager; }));
}

std::size_t SimServiceManager::OpenServiceCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      handles_.begin(), handles_.end(), [](const auto& h) { return !h.second.manager; }));
}

void SimServiceManager::SetStartedByScm(bool started) {
  std::lock_guard<std::mutex> lock(mutex_);
  startedByScm_ = started;
}

WinError SimServiceManager::SendControl(std::uint32_t control) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (control == svc::kControlStop) {
      if (reportedState_ == svc::kStopped) return err::kServiceNotActive;
      if (reportedState_ == svc::kStartPending || reportedState_ == svc::kStopPending)
        return err::kServiceCannotAcceptCtrl;
    }
    controls_.push_back(control);
  }
  changed_.notify_all();
  return err::kSuccess;
}

void SimServiceManager::ProcessEnded() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    processEnded_ = true;
  }
  changed_.notify_all();
}

bool SimServiceManager::DispatcherHung() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hung_;
}

void SimServiceManager::SetHangLimit(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  hangLimit_ = limit;
}

std::vector<SimServiceManager::StatusReport> SimServiceManager::Statuses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statuses_;
}

std::vector<SimServiceManager::HandlerCall> SimServiceManager::HandlerCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handlerCalls_;
}

bool SimServiceManager::WaitForReportedState(std::uint32_t state,
                                             std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return std::any_of(statuses_.begin(), statuses_.end(),
                       [&](const StatusReport& r) { return r.status.dwCurrentState == state; });
  });
}

bool SimServiceManager::WaitForHandlerCalls(std::size_t count,
                                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return handlerCalls_.size() >= count; });
}

std::thread::id SimServiceManager::DispatcherThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dispatcherThread_;
}

std::thread::id SimServiceManager::ServiceThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return serviceThread_;
}

bool SimServiceManager::DispatcherRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dispatcherRunning_;
}

}  // namespace talv::sim
