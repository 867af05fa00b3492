#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_scm.h"

#include <atomic>
#include <string>

namespace talv::win32 {

namespace {

static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatus));

SC_HANDLE S(ScHandle h) { return ToHandle<SC_HANDLE>(h); }

SERVICE_STATUS ToNative(const ServiceStatus& s) {
  SERVICE_STATUS n{};
  n.dwServiceType = s.dwServiceType;
  n.dwCurrentState = s.dwCurrentState;
  n.dwControlsAccepted = s.dwControlsAccepted;
  n.dwWin32ExitCode = s.dwWin32ExitCode;
  n.dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
  n.dwCheckPoint = s.dwCheckPoint;
  n.dwWaitHint = s.dwWaitHint;
  return n;
}

ServiceStatus FromNative(const SERVICE_STATUS& n) {
  ServiceStatus s;
  s.dwServiceType = n.dwServiceType;
  s.dwCurrentState = n.dwCurrentState;
  s.dwControlsAccepted = n.dwControlsAccepted;
  s.dwWin32ExitCode = n.dwWin32ExitCode;
  s.dwServiceSpecificExitCode = n.dwServiceSpecificExitCode;
  s.dwCheckPoint = n.dwCheckPoint;
  s.dwWaitHint = n.dwWaitHint;
  return s;
}

// The platform calls the service main and the control handler as WINAPI
// functions without a context argument, so the port's plain functions are
// kept here and reached through these trampolines. A process hosts one
// service, so one slot of each is enough.
std::atomic<ServiceMainFn> g_serviceMain{nullptr};
std::atomic<ControlHandlerFn> g_controlHandler{nullptr};

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
  if (ServiceMainFn fn = g_serviceMain.load()) fn(argc, reinterpret_cast<char16_t**>(argv));
}

void WINAPI ControlHandlerTrampoline(DWORD control) {
  if (ControlHandlerFn fn = g_controlHandler.load()) fn(control);
}

}  // namespace

WinError Win32ServiceManager::OpenManager(std::uint32_t access, ScHandle* out) {
  SC_HANDLE h = ::OpenSCManagerW(nullptr, nullptr, access);
  if (!h) return LastError();
  if (out) *out = FromHandle(h);
  return err::kSuccess;
}

WinError Win32ServiceManager::OpenService(ScHandle manager, const char16_t* name,
                                          std::uint32_t access, ScHandle* out) {
  SC_HANDLE h = ::OpenServiceW(S(manager), W(name), access);
  if (!h) return LastError();
  if (out) *out = FromHandle(h);
  return err::kSuccess;
}

WinError Win32ServiceManager::QueryStatus(ScHandle service, ServiceStatus* status) {
  SERVICE_STATUS n{};
  if (!::QueryServiceStatus(S(service), &n)) return LastError();
  if (status) *status = FromNative(n);
  return err::kSuccess;
}

WinError Win32ServiceManager::Control(ScHandle service, std::uint32_t control,
                                      ServiceStatus* status) {
  SERVICE_STATUS n{};
  if (!::ControlService(S(service), control, &n)) return LastError();
  if (status) *status = FromNative(n);
  return err::kSuccess;
}

WinError Win32ServiceManager::CreateService(ScHandle manager, const ServiceCreateParams& p,
                                            ScHandle* out) {
  SC_HANDLE h = ::CreateServiceW(S(manager), W(p.serviceName), W(p.displayName), p.desiredAccess,
                                 p.serviceType, p.startType, p.errorControl, W(p.binaryPathName),
                                 W(p.loadOrderGroup), nullptr, W(p.dependencies),
                                 W(p.serviceStartName), W(p.password));
  if (!h) return LastError();
  if (out) *out = FromHandle(h);
  return err::kSuccess;
}

WinError Win32ServiceManager::ChangeConfig(ScHandle service, const ServiceCreateParams& p) {
  return ::ChangeServiceConfigW(S(service), p.serviceType, p.startType, p.errorControl,
                                W(p.binaryPathName), W(p.loadOrderGroup), nullptr, W(p.dependencies),
                                W(p.serviceStartName), W(p.password), W(p.displayName))
             ? err::kSuccess
             : LastError();
}

WinError Win32ServiceManager::DeleteService(ScHandle service) {
  return ::DeleteService(S(service)) ? err::kSuccess : LastError();
}

WinError Win32ServiceManager::CloseHandle(ScHandle handle) {
  return ::CloseServiceHandle(S(handle)) ? err::kSuccess : LastError();
}

WinError Win32ServiceManager::Start(ScHandle service) {
  return ::StartServiceW(S(service), 0, nullptr) ? err::kSuccess : LastError();
}

WinError Win32ServiceManager::StartDispatcher(const char16_t* serviceName, ServiceMainFn main) {
  g_serviceMain.store(main);
  // The table wants a writable name.
  std::wstring name(W(serviceName));
  SERVICE_TABLE_ENTRYW table[2] = {{name.data(), &ServiceMainTrampoline}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? err::kSuccess : LastError();
}

WinError Win32ServiceManager::RegisterControlHandler(const char16_t* serviceName,
                                                     ControlHandlerFn handler, StatusHandle* out) {
  g_controlHandler.store(handler);
  SERVICE_STATUS_HANDLE h = ::RegisterServiceCtrlHandlerW(W(serviceName), &ControlHandlerTrampoline);
  if (!h) return LastError();
  if (out) *out = FromHandle(h);
  return err::kSuccess;
}

WinError Win32ServiceManager::SetStatus(StatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS n = ToNative(status);
  return ::SetServiceStatus(ToHandle<SERVICE_STATUS_HANDLE>(handle), &n) ? err::kSuccess
                                                                        : LastError();
}

}  // namespace talv::win32
