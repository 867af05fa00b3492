// hidden_station.exe COMMAND [ARGS...]: runs the command in a window station
// of its own, as a service, a scheduled task or an installer's custom action
// run as LocalSystem would be: not visible (WSF_VISIBLE clear), so a message
// box there would wait for ever. Waits for it, prints its exit code in full
// on standard error and exits with it; 9009 when the station or the process
// could not be made.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  // The command is the rest of this program's own command line.
  const wchar_t* line = GetCommandLineW();
  bool quoted = false;
  for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line)
    if (*line == L'"') quoted = !quoted;
  while (*line == L' ' || *line == L'\t') ++line;
  std::wstring command(line);
  if (command.empty()) {
    std::fputs("usage: hidden_station COMMAND [ARGS...]\n", stderr);
    return 9009;
  }
  HWINSTA station = CreateWindowStationW(L"TalvHidden", 0, WINSTA_ALL_ACCESS, nullptr);
  if (!station || !SetProcessWindowStation(station)) {
    std::fprintf(stderr, "hidden_station: no window station (%lu)\n", GetLastError());
    return 9009;
  }
  HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (!desktop) {
    std::fprintf(stderr, "hidden_station: no desktop (%lu)\n", GetLastError());
    return 9009;
  }
  STARTUPINFOW start{};
  start.cb = sizeof start;
  wchar_t desktopName[] = L"TalvHidden\\Default";
  start.lpDesktop = desktopName;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                      &process)) {
    std::fprintf(stderr, "hidden_station: could not start the command (%lu)\n", GetLastError());
    return 9009;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 9009;
  GetExitCodeProcess(process.hProcess, &code);
  // The whole code: a Unix parent sees its low byte only.
  std::fprintf(stderr, "hidden_station: exit code %lu\n", code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseDesktop(desktop);
  CloseWindowStation(station);
  return static_cast<int>(code);
}
