#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_windowing.h"

#include <map>
#include <mutex>

namespace talv::win32 {

namespace {

// A subclassed window: the class's own procedure and the target that
// receives the window's messages from WM_CREATE on.
struct Route {
  WNDPROC original = nullptr;
  WindowTarget* target = nullptr;
  bool started = false;  // WM_CREATE has reached the target
};

std::mutex g_routesMutex;
std::map<HWND, Route> g_routes;

bool FindRoute(HWND hwnd, Route* route) {
  std::lock_guard<std::mutex> lock(g_routesMutex);
  auto it = g_routes.find(hwnd);
  if (it == g_routes.end()) return false;
  *route = it->second;
  return true;
}

// The creation in progress on this thread, between installing the hook and
// the hook's first HCBT_CREATEWND.
struct Creation {
  WindowTarget* target = nullptr;
  HHOOK hook = nullptr;
  bool refused = false;  // the target answered WM_CREATE with -1
};
thread_local Creation* t_creation = nullptr;

// After the window's last message: hand it back to its class, forget it.
void ForgetRoute(HWND hwnd, WNDPROC original) {
  SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
  std::lock_guard<std::mutex> lock(g_routesMutex);
  g_routes.erase(hwnd);
}

LRESULT CALLBACK RoutedProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Route route;
  if (!FindRoute(hwnd, &route)) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (!route.started) {
    // The class's non-client set-up (WM_NCCREATE, WM_NCCALCSIZE) stays with
    // the class: the target's first message is WM_CREATE.
    if (message != WM_CREATE) {
      LRESULT r = CallWindowProcW(route.original, hwnd, message, wParam, lParam);
      if (message == WM_NCDESTROY) ForgetRoute(hwnd, route.original);
      return r;
    }
    std::lock_guard<std::mutex> lock(g_routesMutex);
    g_routes[hwnd].started = true;
  }
  // The target runs without the lock: it may create, destroy or pump.
  LRESULT result = route.target->WindowProc(FromHandle(hwnd), message, wParam, lParam);
  if (message == WM_CREATE && result == -1 && t_creation != nullptr) t_creation->refused = true;
  if (message == WM_NCDESTROY) ForgetRoute(hwnd, route.original);
  return result;
}

LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam) {
  Creation* c = t_creation;
  if (code == HCBT_CREATEWND && c != nullptr && c->target != nullptr) {
    // The window exists but has had no message yet: subclass it now, so
    // that WM_CREATE already comes to us. Only the first window counts; the
    // hook goes at once, before the target can create windows of its own.
    HWND hwnd = reinterpret_cast<HWND>(wParam);
    Route route;
    route.target = c->target;
    {
      std::lock_guard<std::mutex> lock(g_routesMutex);
      g_routes[hwnd] = route;
    }
    auto original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RoutedProc)));
    {
      std::lock_guard<std::mutex> lock(g_routesMutex);
      g_routes[hwnd].original = original;
    }
    c->target = nullptr;
    HHOOK hook = c->hook;
    c->hook = nullptr;
    LRESULT r = CallNextHookEx(hook, code, wParam, lParam);
    UnhookWindowsHookEx(hook);
    return r;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

WindowHandle Win32Windowing::DesktopWindow() { return FromHandle(GetDesktopWindow()); }

WinError Win32Windowing::CreateWindow(const WindowCreateParams& params, WindowTarget* target,
                                      WindowHandle* out) {
  Creation creation;
  creation.target = target;
  Creation* outer = t_creation;  // a target may create windows from its WM_CREATE
  t_creation = &creation;
  if (target != nullptr) {
    creation.hook = SetWindowsHookExW(WH_CBT, &CreationHook, nullptr, GetCurrentThreadId());
    if (creation.hook == nullptr) {
      t_creation = outer;
      return LastError(err::kInvalidParameter);
    }
  }
  ::SetLastError(0);
  HWND hwnd = CreateWindowExW(params.exStyle, W(params.className), W(params.title), params.style,
                              params.x, params.y, params.width, params.height,
                              ToHandle<HWND>(params.parent),
                              reinterpret_cast<HMENU>(params.childId), GetModuleHandleW(nullptr),
                              nullptr);
  WinError error = hwnd != nullptr ? 0 : LastError(err::kInvalidWindowHandle);
  // The platform gives no error of its own for a refused creation.
  if (hwnd == nullptr && creation.refused) error = err::kCancelled;
  // Creation failed before any window existed: the hook is still there.
  if (creation.hook != nullptr) UnhookWindowsHookEx(creation.hook);
  t_creation = outer;
  if (hwnd == nullptr) return error;
  if (out) *out = FromHandle(hwnd);
  return err::kSuccess;
}

std::intptr_t Win32Windowing::DefaultHandling(WindowHandle window, std::uint32_t message,
                                              std::uintptr_t wParam, std::intptr_t lParam) {
  HWND hwnd = ToHandle<HWND>(window);
  Route route;
  if (FindRoute(hwnd, &route) && route.original != nullptr)
    return CallWindowProcW(route.original, hwnd, message, wParam, lParam);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

WinError Win32Windowing::DestroyWindow(WindowHandle window) {
  if (::DestroyWindow(ToHandle<HWND>(window))) return err::kSuccess;
  return LastError(err::kInvalidWindowHandle);
}

std::uintptr_t Win32Windowing::SetTimer(WindowHandle window, std::uintptr_t id,
                                        std::uint32_t periodMs) {
  return ::SetTimer(ToHandle<HWND>(window), id, periodMs, nullptr);
}

bool Win32Windowing::KillTimer(WindowHandle window, std::uintptr_t id) {
  return ::KillTimer(ToHandle<HWND>(window), id) != FALSE;
}

int Win32Windowing::GetMessage(WindowMessage* msg) {
  MSG m{};
  BOOL r = GetMessageW(&m, nullptr, 0, 0);
  if (r == -1) return -1;
  if (msg) *msg = WindowMessage{FromHandle(m.hwnd), m.message, m.wParam, m.lParam};
  return r == 0 ? 0 : 1;
}

std::intptr_t Win32Windowing::DispatchMessage(const WindowMessage& msg) {
  MSG m{};
  m.hwnd = ToHandle<HWND>(msg.window);
  m.message = msg.message;
  m.wParam = msg.wParam;
  m.lParam = msg.lParam;
  m.time = GetMessageTime();
  return DispatchMessageW(&m);
}

WinError Win32Windowing::PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                           std::uintptr_t wParam, std::intptr_t lParam) {
  if (PostThreadMessageW(threadId, message, wParam, lParam)) return err::kSuccess;
  return LastError(err::kInvalidParameter);
}

std::uint32_t Win32Windowing::CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace talv::win32
