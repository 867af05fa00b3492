#include "service/check_command.h"

#include "monitor/store_disk_monitor.h"
#include "platform/text.h"
#include "service/service_host.h"

namespace talv {

bool IsCheckSwitch(const char16_t* rest) {
  for (const char16_t* name = u"Check"; *name != 0; ++name, ++rest)
    if (FoldName(*rest) != FoldName(*name)) return false;
  while (*rest == u' ' || *rest == u'\t') ++rest;
  return *rest == 0;
}

int RunCheckCommand(CServiceHost& host) {
  Platform& platform = host.platform();
  // Nothing of the check may become an event: whatever it writes goes to
  // the console.
  host.runningAsService = 0;
  platform.console.UseParentConsole();
  CStoreDiskMonitor monitor(platform, host);
  return monitor.RunCheck(platform.console);
}

}  // namespace talv
