// The windowing port: a window of a system class whose messages reach an
// object of ours, window timers, and the calling thread's message loop.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace talv {

using WindowHandle = Handle;  // HWND; 0 is none

namespace wm {
inline constexpr std::uint32_t kCreate = 0x0001;
inline constexpr std::uint32_t kDestroy = 0x0002;
inline constexpr std::uint32_t kQuit = 0x0012;
inline constexpr std::uint32_t kTimer = 0x0113;
inline constexpr std::uint32_t kUser = 0x0400;
inline constexpr std::uint32_t kStyleChild = 0x40000000u;
inline constexpr std::uint32_t kMaxTimerPeriod = 0x7FFFFFFFu;  // USER_TIMER_MAXIMUM
}  // namespace wm

struct WindowMessage {
  WindowHandle window = 0;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

// Receives every message of a window created through the port.
class WindowTarget {
 public:
  virtual ~WindowTarget() = default;
  virtual std::intptr_t WindowProc(WindowHandle window, std::uint32_t message,
                                   std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

struct WindowCreateParams {
  std::uint32_t exStyle = 0;
  const char16_t* className = nullptr;  // a registered (system) class, e.g. "STATIC"
  const char16_t* title = nullptr;
  std::uint32_t style = 0;
  int x = 0, y = 0, width = 0, height = 0;
  WindowHandle parent = 0;
  std::uintptr_t childId = 0;
};

class Windowing {
 public:
  virtual ~Windowing() = default;
  // GetDesktopWindow.
  virtual WindowHandle DesktopWindow() = 0;
  // CreateWindowExW, with the window's messages routed to `target` from the
  // very first one: WM_CREATE reaches it before this call returns. A target
  // that answers WM_CREATE with -1 makes creation fail. *out only on success.
  virtual WinError CreateWindow(const WindowCreateParams& params, WindowTarget* target,
                                WindowHandle* out) = 0;
  // The window class's own handling of a message (its original procedure).
  virtual std::intptr_t DefaultHandling(WindowHandle window, std::uint32_t message,
                                        std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // DestroyWindow; WM_DESTROY reaches the target during the call.
  virtual WinError DestroyWindow(WindowHandle window) = 0;
  // SetTimer(window, id, period ms, no callback): the timer id, 0 on failure.
  virtual std::uintptr_t SetTimer(WindowHandle window, std::uintptr_t id,
                                  std::uint32_t periodMs) = 0;
  // KillTimer.
  virtual bool KillTimer(WindowHandle window, std::uintptr_t id) = 0;
  // GetMessageW(msg, no window filter, 0, 0): >0 a message, 0 WM_QUIT, -1 error.
  virtual int GetMessage(WindowMessage* msg) = 0;
  // DispatchMessageW: hands the message to its window's procedure.
  virtual std::intptr_t DispatchMessage(const WindowMessage& msg) = 0;
  // PostThreadMessageW.
  virtual WinError PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                     std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // GetCurrentThreadId.
  virtual std::uint32_t CurrentThreadId() = 0;
};

}  // namespace talv
