// The low-space warning and the shutdown of Exchange: service by service on
// a stand-alone server, through the cluster on a cluster node.
#include <iterator>

#include "monitor/store_disk_monitor.h"
#include "resources/messages.h"
#include "shutdown/message_format.h"

namespace talv {

namespace {

constexpr std::uint32_t kMsgLowPoolSpace = resources::kIdLowPoolSpace;
constexpr std::uint32_t kMsgShutdownStarts = resources::kIdShutdownStarting;
constexpr std::uint32_t kMsgStopFailed = resources::kIdStopFailed;
constexpr std::uint32_t kMsgShutdownDone = resources::kIdShutdownDone;

constexpr std::uint32_t kServiceAccess = svc::kClientAccess;
constexpr int kStopPolls = 20;
// The pause between polls is the service's wait hint held within these
// bounds: a hint of 0 would poll twenty times in a row without giving the
// service any time, and one of INFINITE would block the monitor's thread
// (and with it every stop control for TALVMON) for ever.
constexpr std::uint32_t kMinPollPauseMs = 1000;
constexpr std::uint32_t kMaxPollPauseMs = 60000;

// The longest a stop control can block: the manager gives a service's
// handler 30 seconds to take it.
constexpr std::uint32_t kStopControlLimitMs = 30000;

std::uint32_t PollPause(std::uint32_t waitHint) {
  return waitHint < kMinPollPauseMs ? kMinPollPauseMs
         : waitHint > kMaxPollPauseMs ? kMaxPollPauseMs
                                      : waitHint;
}

}  // namespace

const char16_t* const CStoreDiskMonitor::kExchangeServiceOrder[14] = {
    u"MSExchangeFB",  u"MSExchangeIMC", u"MSExchangeINS",   u"MSExchangeMSMI", u"MSExchangeKMS",
    u"MSExchangeDX",  u"MSExchangeCCMC", u"MSExchangeWEB",  u"MSExchangeES",   u"MSExchangeIS",
    u"MSExchangePCMTA", u"MSExchangeMTA", u"MSExchangeDS",  u"MSExchangeSA",
};

void CStoreDiskMonitor::WriteMessage(std::uint32_t id, std::uint16_t type, const MessageArg* args,
                                     std::size_t argCount, bool whole) {
  // The texts are the executable's own; one that cannot be loaded is not
  // written at all.
  char16_t templ[512];
  if (platform_.system.LoadString(0, id, templ, static_cast<int>(std::size(templ))) <= 0) return;
  std::u16string text = FormatMessageText(templ, args, argCount);
  if (whole)
    reporter_.WriteWholeEventLog(type, text.c_str());
  else
    reporter_.WriteEventLog(type, text.c_str());
}

bool CStoreDiskMonitor::IsServiceStopped(const char16_t* serviceName) {
  ServiceManager& scm = platform_.scm;
  UniqueScHandle manager;
  if (OpenManager(manager, scm, svc::kManagerAllAccess) != err::kSuccess) return true;
  UniqueScHandle service;
  if (OpenService(service, scm, manager.get(), serviceName, kServiceAccess) != err::kSuccess)
    return true;
  ServiceStatus status;
  if (scm.QueryStatus(service.get(), &status) != err::kSuccess) return true;
  return status.dwCurrentState == svc::kStopped;
}

bool CStoreDiskMonitor::IsExchangeRunning() {
  for (const char16_t* name : kExchangeServiceOrder)
    if (!IsServiceStopped(name)) return true;
  return false;
}

void CStoreDiskMonitor::ReportLowPoolSpace(const char16_t* poolName, char16_t letter) {
  if (!IsExchangeRunning()) return;
  const char16_t drive[2] = {letter, 0};
  const MessageArg args[] = {
      MessageArg::Text(poolName),
      MessageArg::Text(drive),
      MessageArg::Number(m_nThresholdMB),
  };
  WriteMessage(kMsgLowPoolSpace, evt::kWarning, args, std::size(args));
}

WinError CStoreDiskMonitor::StopExchangeService(const char16_t* serviceName) {
  ServiceManager& scm = platform_.scm;
  UniqueScHandle manager;
  if (WinError e = OpenManager(manager, scm, svc::kManagerAllAccess)) return e;
  UniqueScHandle service;
  if (WinError e = OpenService(service, scm, manager.get(), serviceName, kServiceAccess))
    return e == err::kServiceDoesNotExist ? err::kSuccess : e;
  ServiceStatus status;
  if (WinError e = scm.QueryStatus(service.get(), &status))
    return e == err::kServiceDoesNotExist ? err::kSuccess : e;
  // A running or paused service is stopped (a paused one still holds its
  // databases open); services in a pending state are left as they are.
  if (status.dwCurrentState != svc::kRunning && status.dwCurrentState != svc::kPaused)
    return err::kSuccess;
  ServiceStatus controlStatus;
  if (WinError e = scm.Control(service.get(), svc::kControlStop, &controlStatus)) return e;
  // The first poll follows the stop request at once; after the last one
  // nothing is left to wait for.
  for (int poll = 1;; ++poll) {
    if (WinError e = scm.QueryStatus(service.get(), &status)) return e;
    if (status.dwCurrentState == svc::kStopped) return err::kSuccess;
    if (poll == kStopPolls) return err::kServiceRequestTimeout;
    const std::uint32_t pause = PollPause(status.dwWaitHint);
    if (progress_) progress_->NextStep(pause);
    platform_.system.Sleep(pause);
  }
}

void CStoreDiskMonitor::ReportStopFailure(const char16_t* name, WinError code) {
  const MessageArg args[] = {MessageArg::Number(code), MessageArg::Text(name)};
  WriteMessage(kMsgStopFailed, evt::kError, args, std::size(args));
}

WinError CStoreDiskMonitor::ShutdownExchange() {
  if (!IsExchangeRunning()) return err::kSuccess;
  WriteMessage(kMsgShutdownStarts, evt::kError, nullptr, 0);
  WinError result;
  const char16_t* lastName;
  if (IsClusterNode()) {
    lastName = kClusterResourceName;
    result = TakeClusterResourceOffline(lastName);
  } else {
    // A failure never ends the sequence; the System Attendant comes last.
    constexpr std::size_t kLast = std::size(kExchangeServiceOrder) - 1;
    for (std::size_t i = 0; i < kLast; ++i) {
      if (progress_) progress_->NextStep(kStopControlLimitMs);
      if (WinError e = StopExchangeService(kExchangeServiceOrder[i]))
        ReportStopFailure(kExchangeServiceOrder[i], e);
    }
    lastName = kExchangeServiceOrder[kLast];
    if (progress_) progress_->NextStep(kStopControlLimitMs);
    result = StopExchangeService(lastName);
  }
  if (result != err::kSuccess) ReportStopFailure(lastName, result);
  WriteMessage(kMsgShutdownDone, evt::kInformation, nullptr, 0);
  return result;
}

bool CStoreDiskMonitor::IsClusterNode() {
  UniqueCluster cluster(cluster_, cluster_.OpenCluster(nullptr));
  return static_cast<bool>(cluster);
}

WinError CStoreDiskMonitor::TakeClusterResourceOffline(const char16_t* resourceName) {
  System& system = platform_.system;
  // The last error is cleared first, so that one left by an earlier call is
  // never taken for the open's; an open that fails without setting one is
  // still a failure.
  system.SetLastError(err::kSuccess);
  UniqueCluster cluster(cluster_, cluster_.OpenCluster(nullptr));
  if (!cluster) {
    WinError e = system.GetLastError();
    return e != err::kSuccess ? e : err::kResourceNotAvailable;
  }
  WinError result;
  system.SetLastError(err::kSuccess);
  if (UniqueClusterResource resource(cluster_,
                                     cluster_.OpenClusterResource(cluster.get(), resourceName));
      resource) {
    result = cluster_.OfflineClusterResource(resource.get());
    // ERROR_IO_PENDING: the offline was accepted and goes on in the
    // background, the usual answer for a resource that takes a while.
    if (result == err::kIoPending) result = err::kSuccess;
  } else {
    WinError e = system.GetLastError();
    result = e != err::kSuccess ? e : err::kResourceNotFound;
  }
  return result;
}

}  // namespace talv
