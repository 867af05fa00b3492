// The executable's entry: a windowed (GUI-subsystem) program with a wide
// entry point. Everything it does is the platform-neutral process entry,
// run over the real machine's adapters.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_fence.h"
#include "service/service_host.h"

namespace {
// The host exists before the entry runs and lasts until the process ends.
talv::win32::Win32Platform g_machine;
talv::Platform g_platform = g_machine.platform();
talv::CServiceHost g_host(g_platform);
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return talv::ProcessEntry(g_host, talv::win32::FromHandle(instance));
}
