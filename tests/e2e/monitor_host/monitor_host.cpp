// Hosts the monitor on this program's main thread as the service's run
// thread does: the real machine's adapters, messages to the event log under
// the service's display name, the hidden monitor window, and a plain
// GetMessage/DispatchMessage loop that runs every check cycle. Nothing else
// of the service is here (no service manager, no COM, no "Service started"),
// so the event log holds the monitor's own messages only. It runs until a
// quit message reaches its thread or it is ended from outside.
#include <cstdio>

#include "monitor/store_disk_monitor.h"
#include "platform/win32/win32_platform.h"
#include "service/event_log_reporter.h"

int main() {
  talv::win32::Win32Platform machine;
  talv::Platform platform = machine.platform();
  talv::CEventLogReporter reporter(platform.eventLog, platform.console);
  reporter.SetDisplayName(u"TALV Wardstone");
  reporter.runningAsService = 1;

  // Like the service, the window and the monitor are never destroyed: they
  // end with the process.
  auto* monitor = new talv::CStoreDiskMonitor(platform, reporter);
  talv::WinError created =
      monitor->Create(talv::CStoreDiskMonitor::DefaultCreateParams(platform.windowing));
  // One line for the scenario's log (standard error is not buffered), so a
  // run that never ticks can tell why.
  std::fprintf(stderr, "monitor_host: window %lu, timer %lu, every %lu s, threshold %lu MB, %lu locations\n",
               static_cast<unsigned long>(created), static_cast<unsigned long>(monitor->m_nTimerId),
               static_cast<unsigned long>(monitor->m_nCheckIntervalSec),
               static_cast<unsigned long>(monitor->m_nThresholdMB),
               static_cast<unsigned long>(monitor->m_paths.size()));
  std::fflush(stderr);

  talv::WindowMessage msg;
  for (;;) {
    int got = platform.windowing.GetMessage(&msg);
    if (got == 0) break;
    if (got > 0) platform.windowing.DispatchMessage(msg);
  }
  return 0;
}
