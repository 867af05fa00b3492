// The Service Control Manager port: manager and service handles, status
// queries and controls, creation and deletion, and the dispatcher side a
// service process uses (dispatcher, control handler, status reports).
#pragma once

#include <cstdint>

#include "platform/owner.h"
#include "platform/types.h"

namespace talv {

using ScHandle = Handle;      // manager or service handle; 0 is none
using StatusHandle = Handle;  // SERVICE_STATUS_HANDLE; 0 is none

// The platform's seven-field SERVICE_STATUS, in the platform's order.
struct ServiceStatus {
  std::uint32_t dwServiceType = 0;
  std::uint32_t dwCurrentState = 0;
  std::uint32_t dwControlsAccepted = 0;
  std::uint32_t dwWin32ExitCode = 0;
  std::uint32_t dwServiceSpecificExitCode = 0;
  std::uint32_t dwCheckPoint = 0;
  std::uint32_t dwWaitHint = 0;
};

namespace svc {
inline constexpr std::uint32_t kManagerAllAccess = 0xF003F;
inline constexpr std::uint32_t kQueryConfig = 0x0001;
inline constexpr std::uint32_t kChangeConfig = 0x0002;
inline constexpr std::uint32_t kQueryStatus = 0x0004;
inline constexpr std::uint32_t kStart = 0x0010;
inline constexpr std::uint32_t kStop = 0x0020;
inline constexpr std::uint32_t kDelete = 0x10000;
inline constexpr std::uint32_t kAllAccess = 0xF01FF;
// What the monitor opens an Exchange service with (0x34): status, start, stop.
inline constexpr std::uint32_t kClientAccess = kQueryStatus | kStart | kStop;

inline constexpr std::uint32_t kWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kAutoStart = 2;
inline constexpr std::uint32_t kDemandStart = 3;
// SERVICE_NO_CHANGE: a type, start type or error control left as it is.
inline constexpr std::uint32_t kNoChange = 0xFFFFFFFF;
inline constexpr std::uint32_t kErrorNormal = 1;

inline constexpr std::uint32_t kStopped = 1;
inline constexpr std::uint32_t kStartPending = 2;
inline constexpr std::uint32_t kStopPending = 3;
inline constexpr std::uint32_t kRunning = 4;
inline constexpr std::uint32_t kContinuePending = 5;
inline constexpr std::uint32_t kPausePending = 6;
inline constexpr std::uint32_t kPaused = 7;

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kAcceptStop = 1;
}  // namespace svc

// What CreateService is given (null pointers are "none", as in Win32).
struct ServiceCreateParams {
  const char16_t* serviceName = nullptr;
  const char16_t* displayName = nullptr;
  std::uint32_t desiredAccess = svc::kAllAccess;
  std::uint32_t serviceType = svc::kWin32OwnProcess;
  std::uint32_t startType = svc::kDemandStart;
  std::uint32_t errorControl = svc::kErrorNormal;
  const char16_t* binaryPathName = nullptr;
  const char16_t* loadOrderGroup = nullptr;
  const char16_t* dependencies = nullptr;  // double-NUL-terminated list
  const char16_t* serviceStartName = nullptr;
  const char16_t* password = nullptr;
};

// The service main and control handler a service process hands to the
// dispatcher. Plain functions: the platform calls them without an object.
using ServiceMainFn = void (*)(std::uint32_t argc, char16_t** argv);
using ControlHandlerFn = void (*)(std::uint32_t control);

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // OpenSCManagerW(null machine, null database, access); *out only on success.
  [[nodiscard]] virtual WinError OpenManager(std::uint32_t access, ScHandle* out) = 0;
  // OpenServiceW; 1060 when no service of that name is installed.
  [[nodiscard]] virtual WinError OpenService(ScHandle manager, const char16_t* name, std::uint32_t access,
                               ScHandle* out) = 0;
  // QueryServiceStatus; *status written only on success.
  [[nodiscard]] virtual WinError QueryStatus(ScHandle service, ServiceStatus* status) = 0;
  // ControlService; *status (may be null) receives the returned status.
  [[nodiscard]] virtual WinError Control(ScHandle service, std::uint32_t control, ServiceStatus* status) = 0;
  // CreateServiceW; *out only on success.
  [[nodiscard]] virtual WinError CreateService(ScHandle manager, const ServiceCreateParams& params,
                                 ScHandle* out) = 0;
  // ChangeServiceConfigW(service, type, start type, error control, image
  // path, group, no tag, dependencies, account, password, display name) from
  // `params` (name and access unused): kNoChange and null pointers leave
  // that item as it is; the failure actions always stay. Needs
  // SERVICE_CHANGE_CONFIG; 1072 on a service marked for deletion.
  [[nodiscard]] virtual WinError ChangeConfig(ScHandle service, const ServiceCreateParams& params) = 0;
  // DeleteService: marks the service for deletion.
  [[nodiscard]] virtual WinError DeleteService(ScHandle service) = 0;
  // CloseServiceHandle for a manager or a service handle.
  virtual WinError CloseHandle(ScHandle handle) = 0;
  // StartServiceW with no arguments; returns once the service process has
  // taken the start (1056 when it already runs). Used by tests and tools.
  [[nodiscard]] virtual WinError Start(ScHandle service) = 0;

  // StartServiceCtrlDispatcherW with a one-entry table; blocks until the
  // service reports SERVICE_STOPPED (its main may still be running then).
  // Fails (1063) when the process was not started by the SCM.
  [[nodiscard]] virtual WinError StartDispatcher(const char16_t* serviceName, ServiceMainFn main) = 0;
  // RegisterServiceCtrlHandlerW; *out only on success.
  [[nodiscard]] virtual WinError RegisterControlHandler(const char16_t* serviceName, ControlHandlerFn handler,
                                          StatusHandle* out) = 0;
  // SetServiceStatus.
  [[nodiscard]] virtual WinError SetStatus(StatusHandle handle, const ServiceStatus& status) = 0;
};

// A manager or service handle, closed on every path out of a scope.
using UniqueScHandle = Owner<ClosedBy<&ServiceManager::CloseHandle>>;

// Each opens into `h`, keeping the old handle on failure.
[[nodiscard]] inline WinError OpenManager(UniqueScHandle& h, ServiceManager& scm, std::uint32_t access) {
  return OpenInto(h, scm, [&](ScHandle* out) { return scm.OpenManager(access, out); });
}
[[nodiscard]] inline WinError OpenService(UniqueScHandle& h, ServiceManager& scm, ScHandle manager,
                            const char16_t* name, std::uint32_t access) {
  return OpenInto(h, scm, [&](ScHandle* out) { return scm.OpenService(manager, name, access, out); });
}
[[nodiscard]] inline WinError CreateService(UniqueScHandle& h, ServiceManager& scm, ScHandle manager,
                              const ServiceCreateParams& p) {
  return OpenInto(h, scm, [&](ScHandle* out) { return scm.CreateService(manager, p, out); });
}

}  // namespace talv
