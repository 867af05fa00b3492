// service_config.exe NAME TYPE [IMAGE_PATH]: sets the start type of the
// installed service NAME (2 automatic, 3 demand, 4 disabled; 0xFFFFFFFF no
// change) and, when given, its image path, through ChangeServiceConfigW, as
// an administrator's tool would; Wine's sc.exe has no "config". Exits 0, or
// with the failed call's error.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) {
    std::fputs("usage: service_config NAME TYPE [IMAGE_PATH]\n", stderr);
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD type = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 0));
  const wchar_t* image = argc == 4 ? argv[3] : nullptr;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return static_cast<int>(GetLastError());
  SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_CHANGE_CONFIG);
  DWORD result = service ? ERROR_SUCCESS : GetLastError();
  if (service && !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE, image,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
    result = GetLastError();
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return static_cast<int>(result);
}
