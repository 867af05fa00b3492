// The clock of the service benchmark, run inside the prefix so that no
// process start of Wine's own tools falls into what it measures:
//
//   service_clock start NAME [LOG TEXT]  StartService, then the time until
//                                        the service manager reports RUNNING
//                                        and, with LOG, until TEXT appears in
//                                        that file beyond its size at the start
//   service_clock stop NAME              ControlService stop, then the time
//                                        until it reports STOPPED
//
// Prints "running_ms N" (and "event_ms N") or "stopped_ms N"; exits 1 when
// a call fails or 120 s pass, 2 on bad arguments. States are polled every
// millisecond.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr double kLimitMs = 120000;

LARGE_INTEGER g_frequency;
LARGE_INTEGER g_start;

double ElapsedMs() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - g_start.QuadPart) * 1000.0 /
         static_cast<double>(g_frequency.QuadPart);
}

DWORD State(SC_HANDLE service) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return 0;
  return status.dwCurrentState;
}

LONGLONG FileSize(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// True once `text` appears in the file after byte `from`.
bool FileHas(const wchar_t* path, LONGLONG from, const std::string& text) {
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = from;
  std::string seen;
  if (SetFilePointerEx(f, at, nullptr, FILE_BEGIN)) {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) seen.append(chunk, got);
  }
  CloseHandle(f);
  return seen.find(text) != std::string::npos;
}

std::string Narrow(const wchar_t* w) {
  std::string s;
  for (; *w != 0; ++w) s += static_cast<char>(*w < 128 ? *w : '?');
  return s;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || (wcscmp(argv[1], L"start") != 0 && wcscmp(argv[1], L"stop") != 0) ||
      (argc != 3 && argc != 5)) {
    std::fprintf(stderr, "usage: service_clock start NAME [LOG TEXT] | stop NAME\n");
    return 2;
  }
  const bool start = wcscmp(argv[1], L"start") == 0;
  QueryPerformanceFrequency(&g_frequency);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::fprintf(stderr, "OpenSCManager: %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceW(manager, argv[2], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    std::fprintf(stderr, "OpenService: %lu\n", GetLastError());
    return 1;
  }
  const wchar_t* log = argc == 5 ? argv[3] : nullptr;
  const std::string text = argc == 5 ? Narrow(argv[4]) : std::string();
  const LONGLONG logSize = log != nullptr ? FileSize(log) : 0;

  const DWORD want = start ? SERVICE_RUNNING : SERVICE_STOPPED;
  QueryPerformanceCounter(&g_start);
  if (start) {
    if (!StartServiceW(service, 0, nullptr)) {
      std::fprintf(stderr, "StartService: %lu\n", GetLastError());
      return 1;
    }
  } else {
    SERVICE_STATUS status{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      std::fprintf(stderr, "ControlService: %lu\n", GetLastError());
      return 1;
    }
  }
  while (State(service) != want) {
    if (ElapsedMs() > kLimitMs) {
      std::fprintf(stderr, "timed out waiting for state %lu\n", want);
      return 1;
    }
    Sleep(1);
  }
  std::printf("%s %.1f\n", start ? "running_ms" : "stopped_ms", ElapsedMs());
  if (log != nullptr) {
    while (!FileHas(log, logSize, text)) {
      if (ElapsedMs() > kLimitMs) {
        std::fprintf(stderr, "timed out waiting for the event\n");
        return 1;
      }
      Sleep(1);
    }
    std::printf("event_ms %.1f\n", ElapsedMs());
  }
  std::fflush(stdout);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}
