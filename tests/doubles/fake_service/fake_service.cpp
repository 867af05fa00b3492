// A stand-in Windows service for Wine tests. It runs under whatever name it
// was installed with and takes its behaviour from
// HKLM\Software\TalvTestDoubles\Services\<name> (see tests/doubles/README.md).
// Every stop request it receives is recorded under the same key.
#include <wchar.h>

#include <string>

#include "platform/sim/service_behaviour.h"
#include "platform/win32/windows_fence.h"

#include <shellapi.h>  // CommandLineToArgvW, which WIN32_LEAN_AND_MEAN leaves out

namespace {

namespace sim = talv::sim;
using sim::kControlEndAnyway;
using talv::win32::W;

std::wstring g_name;
// As the simulated services have it, less what only the simulator honours.
sim::ServiceBehaviour g_behaviour;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
CRITICAL_SECTION g_statusLock;
HANDLE g_stopEvent = nullptr;

// Always the 64-bit registry view, so a 32-bit build reads what the 64-bit
// reg.exe wrote.
const REGSAM kView = KEY_WOW64_64KEY;

std::wstring KeyPath() { return W(sim::kBehaviourKeys) + g_name; }

DWORD ReadDword(HKEY key, const wchar_t* name, DWORD fallback) {
  DWORD v = 0, size = sizeof v, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return fallback;
  return v;
}

sim::ServiceBehaviour ReadBehaviour() {
  sim::ServiceBehaviour b;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath().c_str(), 0, KEY_QUERY_VALUE | kView, &key) !=
      ERROR_SUCCESS)
    return b;
  b.stopDelayMs = ReadDword(key, W(sim::kStopDelayValue), 0);
  b.waitHint = ReadDword(key, W(sim::kWaitHintValue), 0);
  b.acceptStop = ReadDword(key, W(sim::kAcceptStopValue), 1) != 0;
  wchar_t text[64] = {};
  DWORD size = sizeof text - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(key, W(sim::kStateValue), nullptr, &type,
                       reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS &&
      type == REG_SZ)
    b.state = sim::StateNamed(talv::win32::U(text));
  RegCloseKey(key);
  return b;
}

void RecordStopRequest() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath().c_str(), 0, nullptr, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  ULONGLONG at = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  DWORD count = ReadDword(key, L"StopRequestCount", 0) + 1;
  RegSetValueExW(key, L"StopRequestedAt", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&at),
                 sizeof at);
  RegSetValueExW(key, L"StopRequestCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                 sizeof count);
  // Wine's reg.exe cannot show a REG_QWORD: the same time as decimal text.
  wchar_t text[32];
  swprintf(text, 32, L"%llu", at);
  RegSetValueExW(key, L"StopRequestedAtText", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void Report(DWORD state, DWORD waitHint = 0) {
  EnterCriticalSection(&g_statusLock);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  DWORD accepted = g_behaviour.acceptStop ? SERVICE_ACCEPT_STOP : 0;
  if (state == SERVICE_PAUSED) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) accepted = 0;
  g_status.dwControlsAccepted = accepted;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwServiceSpecificExitCode = 0;
  g_status.dwCheckPoint = (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? 1 : 0;
  g_status.dwWaitHint = waitHint;
  SetServiceStatus(g_statusHandle, &g_status);
  LeaveCriticalSection(&g_statusLock);
}

void WINAPI Handler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case kControlEndAnyway:
      if (control == SERVICE_CONTROL_STOP) RecordStopRequest();
      // STOPPED itself comes from the service thread: reporting it from
      // inside the handler now and then breaks Wine's control pipe (109).
      Report(SERVICE_STOP_PENDING, g_behaviour.waitHint);
      SetEvent(g_stopEvent);
      break;
    case SERVICE_CONTROL_INTERROGATE:
      EnterCriticalSection(&g_statusLock);
      SetServiceStatus(g_statusHandle, &g_status);
      LeaveCriticalSection(&g_statusLock);
      break;
    default:
      break;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  if (argc > 0 && argv[0] && *argv[0]) g_name = argv[0];
  g_behaviour = ReadBehaviour();
  g_statusHandle = RegisterServiceCtrlHandlerW(g_name.c_str(), &Handler);
  if (!g_statusHandle) return;
  Report(SERVICE_START_PENDING, 3000);
  if (g_behaviour.state != SERVICE_START_PENDING) {
    // Wine holds a service that goes from START_PENDING straight to PAUSED
    // until its start times out, so a paused service runs first.
    Report(SERVICE_RUNNING);
    if (g_behaviour.state == SERVICE_PAUSED) Report(SERVICE_PAUSED);
  }
  WaitForSingleObject(g_stopEvent, INFINITE);
  if (g_behaviour.stopDelayMs > 0) Sleep(g_behaviour.stopDelayMs);
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  InitializeCriticalSection(&g_statusLock);
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // The name may come as the first argument; the service main's first
  // argument (the name the SCM started it under) has the last word.
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc > 1) g_name = argv[1];
  if (argv) LocalFree(argv);
  std::wstring tableName = g_name.empty() ? std::wstring(L"fake_service") : g_name;
  SERVICE_TABLE_ENTRYW table[2] = {{tableName.data(), &ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
  return 0;
}
