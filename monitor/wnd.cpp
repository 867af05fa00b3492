#include "monitor/wnd.h"

namespace talv {

CWnd::CWnd(Windowing& windowing) : windowing_(windowing) {}

CWnd::~CWnd() {
  // The subclass part is gone by now, so a destroy message still arriving
  // gets the base handling only.
  if (window_ != 0) DestroyWindow();
}

WinError CWnd::Create(const WindowCreateParams& params) {
  WindowCreateParams p = params;
  p.style |= wm::kStyleChild;
  WindowHandle h = 0;
  WinError r = windowing_.CreateWindow(p, this, &h);
  window_ = r == err::kSuccess ? h : 0;
  return r;
}

WinError CWnd::DestroyWindow() {
  if (window_ == 0) return err::kInvalidWindowHandle;
  WindowHandle h = window_;
  WinError r = windowing_.DestroyWindow(h);
  if (window_ == h) window_ = 0;
  return r;
}

std::intptr_t CWnd::WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  // The creation message comes before CreateWindow has returned the handle.
  if (window_ == 0) window_ = window;
  // A handler may dispatch further messages (a nested tick), so the message
  // being handled is kept per call.
  WindowMessage saved = current_;
  current_ = WindowMessage{window, message, wParam, lParam};
  std::intptr_t result = 0;
  bool mapped = false;
  if (const MessageMapEntry* map = GetMessageMap()) {
    for (; map->handler != nullptr; ++map) {
      if (map->message == message) {
        result = map->handler(*this, wParam, lParam);
        mapped = true;
        break;
      }
    }
  }
  if (!mapped) result = Default();
  current_ = saved;
  // The window's last message: the handle is no longer ours.
  if (message == wm::kNcDestroy && window == window_) window_ = 0;
  return result;
}

int CWnd::OnCreate(std::intptr_t /*createParams*/) { return static_cast<int>(Default()); }

void CWnd::OnDestroy() { Default(); }

void CWnd::OnTimer(std::uintptr_t /*timerId*/) { Default(); }

std::intptr_t CWnd::Default() {
  return windowing_.DefaultHandling(current_.window, current_.message, current_.wParam,
                                     current_.lParam);
}

}  // namespace talv
