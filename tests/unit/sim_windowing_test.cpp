// The simulated windowing's own extras: the virtual clock behind timers and
// GetMessage, coalesced ticks, scheduled actions, a loop blocked until
// another thread posts, nested dispatch, fault injection and the counts the
// other tests rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include "platform/sim/sim_windowing.h"

namespace talv::sim {
namespace {

class Target final : public WindowTarget {
 public:
  std::intptr_t WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override {
    messages.push_back(message);
    if (onMessage) return onMessage(window, message, wParam, lParam);
    return 0;
  }
  std::vector<std::uint32_t> messages;
  std::function<std::intptr_t(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t)>
      onMessage;
};

class SimWindowingTest : public ::testing::Test {
 protected:
  WindowHandle Make(Target& t, WindowHandle parent = 0) {
    WindowCreateParams p;
    p.className = u"STATIC";
    p.title = u"TALVWardstone";
    p.style = wm::kStyleChild;
    p.x = -1;
    p.y = -1;
    p.width = 1;
    p.height = 1;
    p.parent = parent ? parent : w.DesktopWindow();
    p.childId = 1;
    WindowHandle h = 0;
    EXPECT_EQ(w.CreateWindow(p, &t, &h), 0u);
    return h;
  }
  WindowMessage Next() {
    WindowMessage m;
    EXPECT_GT(w.GetMessage(&m), 0);
    return m;
  }

  SimClock clock;
  SimWindowing w{clock};
};

TEST_F(SimWindowingTest, MinuteTimerTicksOncePerMinuteOfVirtualTime) {
  Target t;
  WindowHandle h = Make(t);
  ASSERT_EQ(w.SetTimer(h, 1, 60000), 1u);
  for (std::uint64_t tick = 1; tick <= 3; ++tick) {
    WindowMessage m = Next();
    EXPECT_EQ(m.message, wm::kTimer);
    EXPECT_EQ(clock.NowMs(), tick * 60000) << "the loop moved the clock to the due time";
  }
  EXPECT_EQ(w.DestroyWindow(h), 0u);
}

TEST_F(SimWindowingTest, MissedPeriodsGiveOneTickAndKeepTheCadence) {
  Target t;
  WindowHandle h = Make(t);
  ASSERT_EQ(w.SetTimer(h, 1, 100), 1u);
  clock.Advance(1050);
  EXPECT_EQ(Next().wParam, 1u);
  EXPECT_EQ(clock.NowMs(), 1050u) << "the waiting tick came at once";
  EXPECT_EQ(*w.TimerDue(h, 1), 1100u);
  EXPECT_EQ(Next().wParam, 1u);
  EXPECT_EQ(clock.NowMs(), 1100u) << "ten periods went by, one tick stood for them";
  w.DestroyWindow(h);
}

TEST_F(SimWindowingTest, TimersDueTogetherComeInTheOrderTheyFellDue) {
  Target t;
  WindowHandle h = Make(t);
  ASSERT_EQ(w.SetTimer(h, 1, 100), 1u);
  ASSERT_EQ(w.SetTimer(h, 2, 60), 2u);
  clock.Advance(150);
  EXPECT_EQ(Next().wParam, 2u);
  EXPECT_EQ(Next().wParam, 1u);
  w.DestroyWindow(h);
}

TEST_F(SimWindowingTest, PeriodsAreClampedAndSettingAgainRestarts) {
  Target t;
  WindowHandle h = Make(t);
  ASSERT_EQ(w.SetTimer(h, 1, 5), 1u);
  EXPECT_EQ(*w.TimerPeriod(h, 1), wm::kMinTimerPeriod);
  ASSERT_EQ(w.SetTimer(h, 2, 0xFFFFFFFFu), 2u);
  EXPECT_EQ(*w.TimerPeriod(h, 2), wm::kMaxTimerPeriod);
  clock.Advance(500);
  ASSERT_EQ(w.SetTimer(h, 1, 300000), 1u);
  EXPECT_EQ(*w.TimerDue(h, 1), 300500u) << "restarted from now, its waiting tick dropped";
  EXPECT_EQ(w.TimerCount(), 2u);
  EXPECT_FALSE(w.TimerPeriod(h, 3).has_value());
  w.DestroyWindow(h);
  EXPECT_EQ(w.TimerCount(), 0u);
}

TEST_F(SimWindowingTest, ScheduledActionsRunWhileTheLoopWaits) {
  Target t;
  WindowHandle h = Make(t);
  ASSERT_EQ(w.SetTimer(h, 1, 1000), 1u);
  std::uint32_t self = w.CurrentThreadId();
  clock.At(400, [&] { w.PostThreadMessage(self, wm::kUser, 4, 0); });
  WindowMessage m = Next();
  EXPECT_EQ(m.message, wm::kUser) << "the action due before the tick ran first";
  EXPECT_EQ(clock.NowMs(), 400u);
  EXPECT_EQ(Next().message, wm::kTimer);
  EXPECT_EQ(clock.NowMs(), 1000u);
  w.DestroyWindow(h);

  // Without any timer the loop still runs the clock's actions.
  clock.At(5000, [&] { w.PostThreadMessage(self, wm::kQuit, 0, 0); });
  WindowMessage q;
  EXPECT_EQ(w.GetMessage(&q), 0);
  EXPECT_EQ(clock.NowMs(), 5000u);
}

TEST_F(SimWindowingTest, LoopWithNothingToWaitForBlocksUntilAnotherThreadPosts) {
  std::uint32_t self = w.CurrentThreadId();
  w.DesktopWindow();  // this thread has a queue now
  std::thread poster([&] {
    while (w.BlockedCount() == 0) std::this_thread::yield();
    EXPECT_EQ(w.PostThreadMessage(self, wm::kQuit, 9, 0), 0u);
  });
  WindowMessage m;
  EXPECT_EQ(w.GetMessage(&m), 0);
  EXPECT_EQ(m.wParam, 9u);
  poster.join();
  EXPECT_EQ(w.BlockedCount(), 0u);
  EXPECT_EQ(clock.NowMs(), 0u) << "no virtual time passed";
}

TEST_F(SimWindowingTest, HandlersMayPumpAndBeEnteredAgain) {
  Target t;
  WindowHandle h = Make(t);
  int depth = 0, maxDepth = 0;
  t.onMessage = [&](WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                    std::intptr_t) -> std::intptr_t {
    if (message != wm::kTimer) return 0;
    ++depth;
    maxDepth = std::max(maxDepth, depth);
    if (wParam == 1) {
      // A tick arrives while this one is still being handled.
      EXPECT_EQ(w.PostMessage(window, wm::kTimer, 7, 0), 0u);
      WindowMessage inner = Next();
      EXPECT_EQ(inner.wParam, 7u);
      w.DispatchMessage(inner);
    }
    --depth;
    return 0;
  };
  ASSERT_EQ(w.SetTimer(h, 1, 50), 1u);
  WindowMessage m = Next();
  w.DispatchMessage(m);
  EXPECT_EQ(maxDepth, 2);
  EXPECT_EQ(w.KillTimer(h, 1), true);
  w.DestroyWindow(h);
}

TEST_F(SimWindowingTest, DestroyingAParentTakesItsChildren) {
  Target parent, child;
  WindowHandle p = Make(parent);
  WindowHandle c = Make(child, p);
  ASSERT_EQ(w.SetTimer(c, 1, 50), 1u);
  parent.messages.clear();
  child.messages.clear();
  std::vector<std::pair<char, std::uint32_t>> order;
  parent.onMessage = [&](WindowHandle, std::uint32_t m, std::uintptr_t, std::intptr_t) {
    order.push_back({'p', m});
    return std::intptr_t{0};
  };
  child.onMessage = [&](WindowHandle, std::uint32_t m, std::uintptr_t, std::intptr_t) {
    order.push_back({'c', m});
    return std::intptr_t{0};
  };
  EXPECT_EQ(w.DestroyWindow(p), 0u);
  EXPECT_EQ(order, (std::vector<std::pair<char, std::uint32_t>>{
                       {'p', wm::kDestroy}, {'c', wm::kDestroy}, {'c', wm::kNcDestroy},
                       {'p', wm::kNcDestroy}}));
  EXPECT_FALSE(w.IsWindow(c));
  EXPECT_EQ(w.WindowCount(), 0u);
  EXPECT_EQ(w.TimerCount(), 0u);
}

TEST_F(SimWindowingTest, RecordsCreationsAndWindowInfo) {
  Target t;
  WindowHandle h = Make(t);
  auto info = w.Info(h);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->className, u"STATIC");
  EXPECT_EQ(info->title, u"TALVWardstone");
  EXPECT_EQ(info->style, wm::kStyleChild);
  EXPECT_EQ(info->x, -1);
  EXPECT_EQ(info->width, 1);
  EXPECT_EQ(info->parent, SimWindowing::kDesktop);
  EXPECT_EQ(info->childId, 1u);
  EXPECT_EQ(info->threadId, w.CurrentThreadId());
  w.DestroyWindow(h);
  EXPECT_FALSE(w.Info(h).has_value());
  ASSERT_EQ(w.Creations().size(), 1u);
  EXPECT_EQ(w.Creations()[0].handle, h) << "the record outlives the window";
}

TEST_F(SimWindowingTest, ThreadTimerIdsCountDownFromTheTop) {
  std::uintptr_t a = w.SetTimer(0, 1, 50);
  std::uintptr_t b = w.SetTimer(0, 1, 50);
  EXPECT_EQ(a, 0x7FFFu);
  EXPECT_EQ(b, 0x7FFEu) << "an id that is not this thread's own is replaced";
  EXPECT_EQ(w.SetTimer(0, a, 80), a) << "an own id restarts that timer";
  EXPECT_EQ(w.TimerCount(), 2u);
  std::thread other([&] { EXPECT_FALSE(w.KillTimer(0, a)) << "another thread's timer"; });
  other.join();
  EXPECT_TRUE(w.KillTimer(0, a));
  EXPECT_TRUE(w.KillTimer(0, b));
}

TEST_F(SimWindowingTest, WindowTimerTicksOnTheWindowsThread) {
  Target t;
  WindowHandle h = Make(t);
  std::thread other([&] { EXPECT_EQ(w.SetTimer(h, 4, 50), 4u); });
  other.join();
  WindowMessage m = Next();
  EXPECT_EQ(m.window, h);
  EXPECT_EQ(m.wParam, 4u);
  w.DestroyWindow(h);
}

TEST_F(SimWindowingTest, PostMessageGoesToTheWindowsQueue) {
  Target t;
  WindowHandle h = Make(t);
  EXPECT_EQ(w.PostMessage(h, wm::kTimer, 2, 0), 0u);
  EXPECT_EQ(w.PostedCount(w.CurrentThreadId()), 1u);
  WindowMessage m = Next();
  EXPECT_EQ(m.window, h);
  EXPECT_EQ(m.wParam, 2u);
  w.DestroyWindow(h);
  EXPECT_EQ(w.PostMessage(h, wm::kUser, 0, 0), err::kInvalidWindowHandle);
}

TEST_F(SimWindowingTest, FaultsFailTheChosenCalls) {
  Target t;
  w.faults().FailNext(SimWindowing::Op::CreateWindow, err::kNotEnoughMemory);
  WindowCreateParams p;
  p.className = u"STATIC";
  p.style = wm::kStyleChild;
  p.parent = w.DesktopWindow();
  WindowHandle h = 0;
  EXPECT_EQ(w.CreateWindow(p, &t, &h), err::kNotEnoughMemory);
  EXPECT_TRUE(t.messages.empty()) << "no WM_CREATE for a failed creation";
  EXPECT_EQ(w.WindowCount(), 0u);
  ASSERT_EQ(w.Creations().size(), 1u);
  EXPECT_EQ(w.Creations()[0].handle, 0u);

  h = Make(t);
  w.faults().FailNext(SimWindowing::Op::SetTimer, 1);
  EXPECT_EQ(w.SetTimer(h, 1, 50), 0u);
  EXPECT_EQ(w.TimerCount(), 0u);
  ASSERT_EQ(w.SetTimer(h, 1, 50), 1u);
  w.faults().FailNext(SimWindowing::Op::KillTimer, 1);
  EXPECT_FALSE(w.KillTimer(h, 1));
  EXPECT_EQ(w.TimerCount(), 1u) << "a failed kill leaves the timer";

  std::uint32_t self = w.CurrentThreadId();
  w.faults().FailNext(SimWindowing::Op::PostThreadMessage, err::kNotEnoughMemory);
  EXPECT_EQ(w.PostThreadMessage(self, wm::kUser, 0, 0), err::kNotEnoughMemory);
  EXPECT_EQ(w.PostedCount(self), 0u);

  ASSERT_EQ(w.PostThreadMessage(self, wm::kUser, 0, 0), 0u);
  w.faults().FailNext(SimWindowing::Op::GetMessage, 1);
  WindowMessage m;
  EXPECT_EQ(w.GetMessage(&m), -1);
  EXPECT_EQ(w.PostedCount(self), 1u) << "the failed call took nothing";
  EXPECT_EQ(Next().message, wm::kUser);

  w.faults().FailNext(SimWindowing::Op::DestroyWindow, err::kAccessDenied);
  EXPECT_EQ(w.DestroyWindow(h), err::kAccessDenied);
  EXPECT_TRUE(w.IsWindow(h));
  EXPECT_EQ(w.DestroyWindow(h), 0u);
  EXPECT_EQ(w.TimerCount(), 0u);
}

TEST_F(SimWindowingTest, QueuesComeWithTheFirstWindowingCall) {
  std::uint32_t id = 0;
  bool hadQueue = true;
  std::thread t([&] {
    id = w.CurrentThreadId();
    hadQueue = w.HasQueue(id);
    w.DesktopWindow();
  });
  t.join();
  EXPECT_FALSE(hadQueue) << "the thread id alone makes no queue";
  EXPECT_TRUE(w.HasQueue(id));
  EXPECT_EQ(w.PostThreadMessage(id, wm::kUser, 0, 0), err::kInvalidParameter)
      << "the thread has ended";
}

}  // namespace
}  // namespace talv::sim
