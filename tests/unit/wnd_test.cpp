// The small window class: creation with itself as the target, the
// subclass's message map, and the window's end.
#include <gtest/gtest.h>

#include <vector>

#include "monitor/wnd.h"
#include "platform/sim/sim_platform.h"

namespace talv {
namespace {

class CMappedWnd : public CWnd {
 public:
  using CWnd::CWnd;
  int createResult = 0;
  std::vector<std::uint32_t> handled;
  std::vector<std::uintptr_t> timerIds;

 protected:
  const MessageMapEntry* GetMessageMap() const override {
    static constexpr MessageMapEntry kMap[] = {
        {wm::kCreate, &Create_}, {wm::kTimer, &Timer_}, {0, nullptr}};
    return kMap;
  }

 private:
  static std::intptr_t Create_(CWnd& w, std::uintptr_t, std::intptr_t lParam) {
    auto& self = static_cast<CMappedWnd&>(w);
    self.handled.push_back(wm::kCreate);
    EXPECT_NE(self.GetSafeHwnd(), 0u);  // known before creation returns
    if (self.OnCreate(lParam) == -1) return -1;
    return self.createResult;
  }
  static std::intptr_t Timer_(CWnd& w, std::uintptr_t id, std::intptr_t) {
    auto& self = static_cast<CMappedWnd&>(w);
    self.handled.push_back(wm::kTimer);
    self.timerIds.push_back(id);
    self.OnTimer(id);
    return 0;
  }
};

class WndTest : public ::testing::Test {
 protected:
  WindowCreateParams Params() {
    WindowCreateParams p;
    p.className = u"STATIC";
    p.title = u"t";
    p.parent = sim.windowing.DesktopWindow();
    p.childId = 1;
    return p;
  }
  sim::SimPlatform sim;
};

TEST_F(WndTest, MappedMessagesReachTheirHandlersAndOnlyThose) {
  CMappedWnd w(sim.windowing);
  ASSERT_EQ(w.Create(Params()), 0u);
  ASSERT_NE(w.GetSafeHwnd(), 0u);
  // Creation adds the child style.
  EXPECT_EQ(sim.windowing.Info(w.GetSafeHwnd())->style, wm::kStyleChild);
  sim.windowing.DispatchMessage(WindowMessage{w.GetSafeHwnd(), wm::kTimer, 9, 0});
  sim.windowing.DispatchMessage(WindowMessage{w.GetSafeHwnd(), wm::kUser, 0, 0});
  EXPECT_EQ(w.handled, (std::vector<std::uint32_t>{wm::kCreate, wm::kTimer}));
  EXPECT_EQ(w.timerIds, (std::vector<std::uintptr_t>{9}));
  EXPECT_EQ(w.DestroyWindow(), 0u);
  EXPECT_EQ(w.GetSafeHwnd(), 0u);
  EXPECT_EQ(sim.windowing.WindowCount(), 0u);
}

TEST_F(WndTest, ARefusedCreationLeavesNoWindow) {
  CMappedWnd w(sim.windowing);
  w.createResult = -1;
  EXPECT_NE(w.Create(Params()), 0u);
  EXPECT_EQ(w.GetSafeHwnd(), 0u);
  EXPECT_EQ(sim.windowing.WindowCount(), 0u);
}

TEST_F(WndTest, AWindowStillOpenGoesWithItsObject) {
  {
    CMappedWnd w(sim.windowing);
    ASSERT_EQ(w.Create(Params()), 0u);
    EXPECT_EQ(sim.windowing.WindowCount(), 1u);
  }
  EXPECT_EQ(sim.windowing.WindowCount(), 0u);
}

}  // namespace
}  // namespace talv
