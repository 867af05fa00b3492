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
inline constexpr std::uint32_t kMove = 0x0003;
inline constexpr std::uint32_t kSize = 0x0005;
inline constexpr std::uint32_t kQuit = 0x0012;
inline constexpr std::uint32_t kNcDestroy = 0x0082;
inline constexpr std::uint32_t kTimer = 0x0113;
inline constexpr std::uint32_t kUser = 0x0400;
inline constexpr std::uint32_t kStyleChild = 0x40000000u;
inline constexpr std::uint32_t kMinTimerPeriod = 10;           // USER_TIMER_MINIMUM
inline constexpr std::uint32_t kMaxTimerPeriod = 0x7FFFFFFFu;  // USER_TIMER_MAXIMUM
}  // namespace wm

namespace err {
inline constexpr WinError kCancelled = 1223;              // the window refused its creation
inline constexpr WinError kTopLevelChild = 1406;          // ERROR_TLW_WITH_WSCHILD
inline constexpr WinError kClassDoesNotExist = 1411;      // ERROR_CLASS_DOES_NOT_EXIST
inline constexpr WinError kInvalidThreadId = 1444;        // ERROR_INVALID_THREAD_ID
}  // namespace err

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
  // CreateWindowExW, with the window's messages routed to `target` from
  // WM_CREATE on: WM_CREATE is the first message the target sees (the
  // class's own non-client set-up before it stays with the class), before
  // this call returns, followed by WM_SIZE and WM_MOVE. Its lParam is the
  // platform's creation record, which portable targets do not read. A target
  // that answers WM_CREATE with -1 makes creation fail with 1223 and then
  // sees WM_NCDESTROY but no WM_DESTROY. An unknown class fails with 1411, a
  // child style without a parent with 1406, a bad parent with 1400.
  // *out only on success.
  virtual WinError CreateWindow(const WindowCreateParams& params, WindowTarget* target,
                                WindowHandle* out) = 0;
  // The window class's own handling of a message (its original procedure).
  virtual std::intptr_t DefaultHandling(WindowHandle window, std::uint32_t message,
                                        std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // DestroyWindow; WM_DESTROY, then WM_NCDESTROY reach the target during the
  // call, and the window's timers go with it. 5 for a window that is not the
  // calling thread's or no longer exists.
  virtual WinError DestroyWindow(WindowHandle window) = 0;
  // SetTimer(window, id, period ms, no callback): the timer id, 0 on failure
  // (no such window). Periods are clamped to 10 .. 0x7FFFFFFF ms; setting an
  // existing id restarts it. Window 0 makes a thread timer with an id of the
  // platform's choosing.
  virtual std::uintptr_t SetTimer(WindowHandle window, std::uintptr_t id,
                                  std::uint32_t periodMs) = 0;
  // KillTimer; false when there is no such timer.
  virtual bool KillTimer(WindowHandle window, std::uintptr_t id) = 0;
  // GetMessageW(msg, no window filter, 0, 0): >0 a message, 0 WM_QUIT, -1 error.
  // Posted messages come first; a due timer gives one WM_TIMER (wParam the
  // id) only when nothing is posted, however many periods have passed.
  virtual int GetMessage(WindowMessage* msg) = 0;
  // DispatchMessageW: hands the message to its window's procedure.
  virtual std::intptr_t DispatchMessage(const WindowMessage& msg) = 0;
  // PostThreadMessageW. 1444 for a thread that has no message queue yet (it
  // gets one with its first windowing call other than CurrentThreadId), 87
  // for an unknown thread.
  virtual WinError PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                     std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // GetCurrentThreadId.
  virtual std::uint32_t CurrentThreadId() = 0;
};

}  // namespace talv
