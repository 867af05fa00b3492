// The Service Control Manager port over the real advapi32 service functions.
#pragma once

#include "platform/scm.h"

namespace talv::win32 {

class Win32ServiceManager final : public ServiceManager {
 public:
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
};

}  // namespace talv::win32
