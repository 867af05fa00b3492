#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_ui.h"

namespace talv::win32 {

int Win32UserInterface::MessageBox(const char16_t* text, const char16_t* caption,
                                   std::uint32_t style) {
  return MessageBoxW(nullptr, W(text), W(caption), style);
}

}  // namespace talv::win32
