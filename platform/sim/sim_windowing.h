// The simulated windowing: windows of the system classes whose messages go
// to their targets, window timers on the shared virtual clock, and one
// message queue per thread. A thread waiting in GetMessage moves the virtual
// clock on to its next timer or scheduled action instead of waiting for real;
// with nothing left to wait for it blocks until another thread posts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/faults.h"
#include "platform/sim/sim_clock.h"
#include "platform/windowing.h"

namespace talv::sim {

class SimWindowing final : public Windowing {
 public:
  enum class Op { CreateWindow, DestroyWindow, SetTimer, KillTimer, GetMessage, PostThreadMessage };

  // What a test can see of a window, as it was created.
  struct WindowInfo {
    WindowHandle handle = 0;  // 0 for a creation that failed
    std::u16string className;
    std::u16string title;
    std::uint32_t exStyle = 0;
    std::uint32_t style = 0;
    int x = 0, y = 0, width = 0, height = 0;
    WindowHandle parent = 0;
    std::uintptr_t childId = 0;
    std::uint32_t threadId = 0;
  };

  static constexpr WindowHandle kDesktop = 0x10010;

  explicit SimWindowing(SimClock& clock);
  ~SimWindowing() override;

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

  // --- test side -------------------------------------------------------
  FaultPlan<Op>& faults() { return faults_; }
  // Live windows (the desktop not counted) and live timers.
  std::size_t WindowCount() const;
  std::size_t TimerCount() const;
  bool IsWindow(WindowHandle window) const;
  // A live window as it was created.
  std::optional<WindowInfo> Info(WindowHandle window) const;
  // Every CreateWindow call in order, failed ones included (handle 0).
  std::vector<WindowInfo> Creations() const;
  // The clamped period of a live timer, or nullopt.
  std::optional<std::uint32_t> TimerPeriod(WindowHandle window, std::uintptr_t id) const;
  // When a live timer falls due next on the virtual clock, or nullopt.
  std::optional<std::uint64_t> TimerDue(WindowHandle window, std::uintptr_t id) const;
  // PostMessageW: queues a message for a window on the window's thread.
  WinError PostMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam);
  // Messages posted to a thread and not yet taken.
  std::size_t PostedCount(std::uint32_t threadId) const;
  bool HasQueue(std::uint32_t threadId) const;
  // Threads blocked in GetMessage with nothing to wait for but a post.
  std::size_t BlockedCount() const;
  // From HoldDesktopWindow until ReleaseDesktopWindow a DesktopWindow call
  // waits (real time) before it does anything, so a thread whose first
  // windowing call it is stands still without a message queue.
  void HoldDesktopWindow();
  void ReleaseDesktopWindow();
  // Waits until some DesktopWindow call is being held; false on `timeout`.
  bool WaitForHeldDesktopWindow(std::chrono::milliseconds timeout);

 private:
  struct Window {
    WindowInfo info;
    WindowTarget* target = nullptr;
    bool destroying = false;
  };
  struct Timer {
    WindowHandle window = 0;
    std::uintptr_t id = 0;
    std::uint32_t threadId = 0;  // whose queue its WM_TIMER goes to
    std::uint32_t period = 0;
    std::uint64_t due = 0;
    std::uint64_t seq = 0;  // creation order, for timers due together
    bool pending = false;   // one WM_TIMER waits to be taken
    std::uint64_t expiredAt = 0;  // when the waiting WM_TIMER fell due
  };
  struct Queue {
    std::deque<WindowMessage> posted;
  };
  using TimerKey = std::pair<WindowHandle, std::uintptr_t>;

  // Callers hold mutex_.
  std::uint32_t ThreadIdLocked();
  Queue& QueueLocked(std::uint32_t threadId);
  void ExpireTimersLocked(std::uint64_t now);
  WindowTarget* TargetLocked(WindowHandle window) const;
  void Send(WindowHandle window, WindowTarget* target, std::uint32_t message, std::uintptr_t wParam,
            std::intptr_t lParam);
  void DestroyTree(WindowHandle window);

  SimClock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::map<std::uint64_t, std::uint32_t> threadIds_;  // by thread serial
  std::map<std::uint32_t, Queue> queues_;
  std::map<WindowHandle, Window> windows_;
  std::vector<WindowInfo> creations_;
  std::map<TimerKey, Timer> timers_;
  WindowHandle nextWindow_ = 0x20040;
  std::uint32_t nextThreadId_ = 0x104;
  std::uintptr_t nextThreadTimerId_ = 0x7FFF;
  std::uint64_t timerSeq_ = 0;
  std::size_t blocked_ = 0;
  bool holdDesktop_ = false;
  std::size_t heldDesktopCalls_ = 0;
  std::condition_variable holdChanged_;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
