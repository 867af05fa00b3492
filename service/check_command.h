// "talvmon.exe -Check": one check cycle in report-only mode, printed for an
// administrator or a monitoring agent, with a check's exit code.
#pragma once

namespace talv {

class CServiceHost;

// Whether the rest of the line after a separator is "Check" (any case),
// followed by nothing but blanks: an agent's command line with a trailing
// blank must never start the live monitor.
bool IsCheckSwitch(const char16_t* rest);

// Runs the check on the console and returns its exit code (0 OK, 1 WARNING,
// 2 CRITICAL, 3 UNKNOWN). Writes no event and needs no installed service.
int RunCheckCommand(CServiceHost& host);

}  // namespace talv
