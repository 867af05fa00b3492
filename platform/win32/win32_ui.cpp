#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_eventlog.h"
#include "platform/win32/win32_ui.h"

#include <string>

namespace talv::win32 {

int Win32UserInterface::MessageBox(const char16_t* text, const char16_t* caption,
                                   std::uint32_t style) {
  return MessageBoxW(nullptr, W(text), W(caption), style);
}

bool Win32UserInterface::WindowStationVisible() {
  // Services, scheduled tasks and an installer's custom actions run as
  // LocalSystem in a window station nobody sees: a box there waits for ever.
  HWINSTA station = ::GetProcessWindowStation();
  if (!station) return false;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void Win32UserInterface::WriteError(const char16_t* text) {
  std::u16string line(text ? text : u"");
  line += u'\n';
  WriteToStdHandle(STD_ERROR_HANDLE, line.c_str());
}

}  // namespace talv::win32
