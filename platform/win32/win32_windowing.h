// The windowing port over the real window manager: system-class windows
// subclassed from their creation on so that their messages reach our
// targets, window timers, and the thread's message queue.
#pragma once

#include "platform/windowing.h"

namespace talv::win32 {

class Win32Windowing final : public Windowing {
 public:
  WindowHandle DesktopWindow() override;
  WinError CreateWindow(const WindowCreateParams& params, WindowTarget* target,
                        WindowHandle* out) override;
  std::intptr_t DefaultHandling(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) override;
  WinError DestroyWindow(WindowHandle window) override;
  std::uintptr_t SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t periodMs) override;
  bool KillTimer(WindowHandle window, std::uintptr_t id) override;
  int GetMessage(WindowMessage* msg) override;
  std::intptr_t DispatchMessage(const WindowMessage& msg) override;
  WinError PostThreadMessage(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override;
  std::uint32_t CurrentThreadId() override;
};

}  // namespace talv::win32
