#include "monitor/wnd.h"

namespace talv {

CWnd::CWnd(Windowing& windowing) : m_windowing(windowing) {}

CWnd::~CWnd() {
  // The subclass part is gone by now, so a destroy message still arriving
  // gets the base handling only.
  if (m_hWnd != 0) DestroyWindow();
}

WinError CWnd::Create(const WindowCreateParams& params) {
  WindowCreateParams p = params;
  p.style |= wm::kStyleChild;
  WindowHandle h = 0;
  WinError r = m_windowing.CreateWindow(p, this, &h);
  m_hWnd = r == err::kSuccess ? h : 0;
  return r;
}

WinError CWnd::DestroyWindow() {
  if (m_hWnd == 0) return err::kInvalidWindowHandle;
  WindowHandle h = m_hWnd;
  WinError r = m_windowing.DestroyWindow(h);
  if (m_hWnd == h) m_hWnd = 0;
  return r;
}

std::intptr_t CWnd::WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  // The creation message comes before CreateWindow has returned the handle.
  if (m_hWnd == 0) m_hWnd = window;
  // A handler may dispatch further messages (a nested tick), so the message
  // being handled is kept per call.
  WindowMessage saved = m_current;
  m_current = WindowMessage{window, message, wParam, lParam};
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
  m_current = saved;
  // The window's last message: the handle is no longer ours.
  if (message == wm::kNcDestroy && window == m_hWnd) m_hWnd = 0;
  return result;
}

int CWnd::OnCreate(std::intptr_t /*createParams*/) { return static_cast<int>(Default()); }

void CWnd::OnDestroy() { Default(); }

void CWnd::OnTimer(std::uintptr_t /*timerId*/) { Default(); }

std::intptr_t CWnd::Default() {
  return m_windowing.DefaultHandling(m_current.window, m_current.message, m_current.wParam,
                                     m_current.lParam);
}

}  // namespace talv
