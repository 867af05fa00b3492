// A small window class of our own over the windowing port: it creates a
// window of a system class with itself as the receiver of its messages and
// hands each message to its subclass's message map, or to the class's
// default handling when the map has no entry for it.
#pragma once

#include <cstdint>

#include "platform/windowing.h"

namespace talv {

class CWnd : public WindowTarget {
 public:
  explicit CWnd(Windowing& windowing);
  // Destroys the window if it still exists.
  ~CWnd() override;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // Creates the window (the child-window style is always added); the
  // creation message reaches the message map before this returns.
  WinError Create(const WindowCreateParams& params);
  // Destroys the window; the destroy message reaches the map during the call.
  WinError DestroyWindow();
  WindowHandle GetSafeHwnd() const { return window_; }

  // Routes one message through the message map.
  std::intptr_t WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override;

 protected:
  // One entry of a message map: the message and the routine that handles it.
  using MessageHandler = std::intptr_t (*)(CWnd& wnd, std::uintptr_t wParam, std::intptr_t lParam);
  struct MessageMapEntry {
    std::uint32_t message;
    MessageHandler handler;
  };
  // The subclass's map, ended by an entry with a null handler; the base has none.
  virtual const MessageMapEntry* GetMessageMap() const { return nullptr; }

  // Base handling of the three messages a subclass may map: each passes the
  // message being handled to the class's default handling.
  int OnCreate(std::intptr_t createParams);
  void OnDestroy();
  void OnTimer(std::uintptr_t timerId);
  // Default handling of the message being handled right now.
  std::intptr_t Default();

  Windowing& windowing_;
  WindowHandle window_ = 0;

 private:
  WindowMessage current_;
};

}  // namespace talv
