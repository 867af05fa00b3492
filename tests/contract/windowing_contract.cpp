// The windowing port's contract: windows of a system class whose messages
// reach our target, window timers and the thread's message queue, with the
// same expectations against the simulator and against Wine.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

// A target that records every message and hands it to the class's default
// handling, noting what that answered.
class Recorder final : public WindowTarget {
 public:
  explicit Recorder(Windowing& w) : w_(w) {}
  std::intptr_t WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override {
    seen.push_back(WindowMessage{window, message, wParam, lParam});
    if (message == wm::kCreate && refuseCreate) return -1;
    if (message == wm::kDestroy && killOnDestroy != 0)
      killedOnDestroy = w_.KillTimer(window, killOnDestroy);
    std::intptr_t r = w_.DefaultHandling(window, message, wParam, lParam);
    defaults.push_back(r);
    return r;
  }
  std::vector<std::uint32_t> Messages() const {
    std::vector<std::uint32_t> m;
    for (const auto& s : seen) m.push_back(s.message);
    return m;
  }

  std::vector<WindowMessage> seen;
  std::vector<std::intptr_t> defaults;
  bool refuseCreate = false;
  std::uintptr_t killOnDestroy = 0;
  bool killedOnDestroy = false;

 private:
  Windowing& w_;
};

class WindowingContract : public ::testing::Test {
 protected:
  void SetUp() override {
    windowsBefore_ = CurrentEnv().LiveWindows();
    timersBefore_ = CurrentEnv().LiveTimers();
  }
  void TearDown() override {
    // Nothing a test posted or set going is left in the queue: the next
    // message is one posted now.
    ASSERT_EQ(w().PostThreadMessage(w().CurrentThreadId(), wm::kUser + 99, 0, 0), 0u);
    WindowMessage m;
    ASSERT_GT(w().GetMessage(&m), 0);
    EXPECT_EQ(m.message, wm::kUser + 99);
    EXPECT_EQ(CurrentEnv().LiveWindows(), windowsBefore_);
    EXPECT_EQ(CurrentEnv().LiveTimers(), timersBefore_);
  }
  Windowing& w() { return CurrentEnv().windowing(); }

  // The monitor's window: a hidden STATIC child of the desktop at (-1,-1),
  // 1 by 1, child id 1.
  WindowCreateParams MonitorParams() {
    WindowCreateParams p;
    p.className = u"STATIC";
    p.title = u"TALVWardstone";
    p.style = wm::kStyleChild;
    p.x = -1;
    p.y = -1;
    p.width = 1;
    p.height = 1;
    p.parent = w().DesktopWindow();
    p.childId = 1;
    return p;
  }
  WindowHandle MakeWindow(Recorder& target) {
    WindowHandle h = 0;
    EXPECT_EQ(w().CreateWindow(MonitorParams(), &target, &h), 0u);
    EXPECT_NE(h, 0u);
    return h;
  }
  WindowMessage Next() {
    WindowMessage m;
    EXPECT_GT(w().GetMessage(&m), 0);
    return m;
  }

  long windowsBefore_ = 0;
  long timersBefore_ = 0;
};

TEST_F(WindowingContract, CreationDeliversCreateFirstInsideTheCall) {
  Recorder target(w());
  WindowHandle h = MakeWindow(target);
  // Inside CreateWindow, WM_CREATE came first, then the size and position.
  ASSERT_EQ(target.Messages(), (std::vector<std::uint32_t>{wm::kCreate, wm::kSize, wm::kMove}));
  EXPECT_EQ(target.seen[0].window, h);
  EXPECT_NE(target.seen[0].lParam, 0) << "WM_CREATE carries the creation record";
  EXPECT_EQ(target.seen[1].lParam, 0x00010001) << "1 by 1";
  EXPECT_EQ(target.seen[2].lParam, -1) << "(-1,-1) packed and sign-extended";
  EXPECT_EQ(target.defaults, (std::vector<std::intptr_t>{0, 0, 0}))
      << "the static class answers 0";

  target.seen.clear();
  EXPECT_EQ(w().DestroyWindow(h), 0u);
  EXPECT_EQ(target.Messages(), (std::vector<std::uint32_t>{wm::kDestroy, wm::kNcDestroy}));
  EXPECT_EQ(w().DestroyWindow(h), err::kAccessDenied) << "the window is gone";
}

TEST_F(WindowingContract, AnswerMinusOneToCreateFailsCreation) {
  Recorder target(w());
  target.refuseCreate = true;
  WindowHandle h = 0x5555;
  EXPECT_EQ(w().CreateWindow(MonitorParams(), &target, &h), err::kCancelled);
  EXPECT_EQ(h, 0x5555u) << "no handle on failure";
  EXPECT_EQ(target.Messages(), (std::vector<std::uint32_t>{wm::kCreate, wm::kNcDestroy}))
      << "a refused window is torn down without WM_DESTROY";
}

TEST_F(WindowingContract, CreationFailuresGivePlatformErrors) {
  Recorder target(w());
  WindowHandle h = 0;
  WindowCreateParams p = MonitorParams();
  p.className = u"TalvNoSuchClass";
  EXPECT_EQ(w().CreateWindow(p, &target, &h), err::kClassDoesNotExist);
  p = MonitorParams();
  p.parent = 0;
  EXPECT_EQ(w().CreateWindow(p, &target, &h), err::kTopLevelChild);
  p.parent = 0x1234560;
  EXPECT_EQ(w().CreateWindow(p, &target, &h), err::kInvalidWindowHandle);
  EXPECT_TRUE(target.seen.empty());

  p = MonitorParams();
  p.className = u"static";
  ASSERT_EQ(w().CreateWindow(p, &target, &h), 0u) << "class names ignore case";
  EXPECT_EQ(w().DestroyWindow(h), 0u);
}

TEST_F(WindowingContract, TimerTicksThroughGetMessageAndDispatchReachesTarget) {
  Recorder target(w());
  WindowHandle h = MakeWindow(target);
  ASSERT_EQ(w().SetTimer(h, 1, 50), 1u);
  target.seen.clear();
  target.defaults.clear();
  WindowMessage m = Next();
  EXPECT_EQ(m.window, h);
  EXPECT_EQ(m.message, wm::kTimer);
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_TRUE(target.seen.empty()) << "nothing reaches the target before dispatch";
  EXPECT_EQ(w().DispatchMessage(m), 0);
  ASSERT_EQ(target.Messages(), (std::vector<std::uint32_t>{wm::kTimer}));
  EXPECT_EQ(target.seen[0].wParam, 1u);
  EXPECT_TRUE(w().KillTimer(h, 1));
  EXPECT_EQ(w().DestroyWindow(h), 0u);
}

TEST_F(WindowingContract, KillTimerStopsTheTicks) {
  Recorder target(w());
  WindowHandle h = MakeWindow(target);
  ASSERT_EQ(w().SetTimer(h, 1, 50), 1u);
  EXPECT_EQ(Next().wParam, 1u);
  EXPECT_TRUE(w().KillTimer(h, 1));
  EXPECT_FALSE(w().KillTimer(h, 1)) << "already gone";
  CurrentEnv().Pause(120);
  ASSERT_EQ(w().PostThreadMessage(w().CurrentThreadId(), wm::kUser, 0, 0), 0u);
  EXPECT_EQ(Next().message, wm::kUser);
  // A killed timer leaves nothing behind: the next tick is another timer's.
  ASSERT_EQ(w().SetTimer(h, 2, 200), 2u);
  WindowMessage m = Next();
  EXPECT_EQ(m.message, wm::kTimer);
  EXPECT_EQ(m.wParam, 2u);
  EXPECT_TRUE(w().KillTimer(h, 2));
  EXPECT_EQ(w().DestroyWindow(h), 0u);
}

TEST_F(WindowingContract, PostedMessagesComeFirstAndMissedTicksCoalesce) {
  Recorder target(w());
  WindowHandle h = MakeWindow(target);
  ASSERT_EQ(w().SetTimer(h, 1, 50), 1u);
  CurrentEnv().Pause(300);  // six periods
  ASSERT_EQ(w().PostThreadMessage(w().CurrentThreadId(), wm::kUser, 7, 8), 0u);
  WindowMessage m = Next();
  EXPECT_EQ(m.message, wm::kUser);
  EXPECT_EQ(m.window, 0u);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_EQ(m.lParam, 8);
  m = Next();
  EXPECT_EQ(m.message, wm::kTimer);
  EXPECT_EQ(m.wParam, 1u);
  // One tick stood for all six periods: a fast timer set now ticks before
  // timer 1 has anything more to give.
  ASSERT_EQ(w().SetTimer(h, 2, 10), 2u);
  m = Next();
  EXPECT_EQ(m.message, wm::kTimer);
  EXPECT_EQ(m.wParam, 2u);
  EXPECT_EQ(w().DestroyWindow(h), 0u);
}

TEST_F(WindowingContract, ZeroPeriodIsClampedNotRefused) {
  Recorder target(w());
  WindowHandle h = MakeWindow(target);
  ASSERT_EQ(w().SetTimer(h, 3, 0), 3u);
  WindowMessage m = Next();
  EXPECT_EQ(m.message, wm::kTimer);
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_TRUE(w().KillTimer(h, 3));
  EXPECT_EQ(w().DestroyWindow(h), 0u);
}

TEST_F(WindowingContract, ThreadTimerWithoutWindow) {
  std::uintptr_t id = w().SetTimer(0, 5, 20);
  ASSERT_NE(id, 0u);
  WindowMessage m = Next();
  EXPECT_EQ(m.window, 0u);
  EXPECT_EQ(m.message, wm::kTimer);
  EXPECT_EQ(m.wParam, id);
  EXPECT_EQ(w().DispatchMessage(m), 0) << "no window, nothing to call";
  EXPECT_TRUE(w().KillTimer(0, id));
}

TEST_F(WindowingContract, TimersNeedALiveWindowAndGoWithIt) {
  Recorder target(w());
  EXPECT_EQ(w().SetTimer(0x1234560, 1, 50), 0u);
  WindowHandle h = MakeWindow(target);
  EXPECT_FALSE(w().KillTimer(h, 77));
  ASSERT_EQ(w().SetTimer(h, 1, 50), 1u);
  ASSERT_EQ(w().SetTimer(h, 2, 50), 2u);
  target.killOnDestroy = 1;
  EXPECT_EQ(w().DestroyWindow(h), 0u);
  EXPECT_TRUE(target.killedOnDestroy) << "a WM_DESTROY handler can still kill its timer";
  EXPECT_FALSE(w().KillTimer(h, 2)) << "the window took its other timer with it";
  EXPECT_EQ(w().SetTimer(h, 1, 50), 0u);
}

TEST_F(WindowingContract, QuitPostedToOwnThreadEndsGetMessage) {
  ASSERT_EQ(w().PostThreadMessage(w().CurrentThreadId(), wm::kQuit, 3, 0), 0u);
  WindowMessage m;
  EXPECT_EQ(w().GetMessage(&m), 0);
  EXPECT_EQ(m.message, wm::kQuit);
  EXPECT_EQ(m.wParam, 3u);
}

TEST_F(WindowingContract, PostFromAnotherThreadReachesTheLoop) {
  // This thread has a queue once it took a message of its own.
  std::uint32_t self = w().CurrentThreadId();
  ASSERT_EQ(w().PostThreadMessage(self, wm::kUser + 1, 0, 0), 0u);
  EXPECT_EQ(Next().message, wm::kUser + 1);

  WinError posted = 1;
  std::thread poster([&] { posted = w().PostThreadMessage(self, wm::kQuit, 42, 0); });
  WindowMessage m;
  EXPECT_EQ(w().GetMessage(&m), 0) << "the loop takes the other thread's quit";
  EXPECT_EQ(m.wParam, 42u);
  poster.join();
  EXPECT_EQ(posted, 0u);
}

TEST_F(WindowingContract, PostNeedsAThreadWithAQueue) {
  std::mutex mutex;
  std::condition_variable cv;
  std::uint32_t id = 0;
  bool done = false;
  std::thread idle([&] {
    std::unique_lock<std::mutex> lock(mutex);
    id = w().CurrentThreadId();  // no windowing call that makes a queue
    cv.notify_all();
    cv.wait(lock, [&] { return done; });
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return id != 0; });
    EXPECT_EQ(w().PostThreadMessage(id, wm::kUser, 0, 0), err::kInvalidThreadId);
    done = true;
    cv.notify_all();
  }
  idle.join();
  EXPECT_EQ(w().PostThreadMessage(0x7FFFFFF0u, wm::kUser, 0, 0), err::kInvalidParameter)
      << "no such thread";
}

TEST_F(WindowingContract, DispatchToAGoneWindowCallsNothing) {
  Recorder target(w());
  WindowHandle h = MakeWindow(target);
  EXPECT_EQ(w().DestroyWindow(h), 0u);
  target.seen.clear();
  EXPECT_EQ(w().DispatchMessage(WindowMessage{h, wm::kTimer, 1, 0}), 0);
  EXPECT_TRUE(target.seen.empty());
}

}  // namespace
}  // namespace talv::contract
