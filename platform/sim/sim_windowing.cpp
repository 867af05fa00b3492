#include "platform/sim/sim_windowing.h"

#include <algorithm>
#include <set>

#include "platform/sim/text.h"

namespace talv::sim {

namespace {

// Threads by a serial number of their own: std::thread ids are reused once
// a thread has ended, serials never are, and an ended thread's serial drops
// out of the live set (posting to it then fails as for an unknown thread).
struct LiveThreads {
  std::mutex mutex;
  std::set<std::uint64_t> live;
  std::uint64_t next = 0;
};
LiveThreads& Threads() {
  static auto* threads = new LiveThreads;  // outlives every thread's exit
  return *threads;
}
struct ThreadLife {
  std::uint64_t serial = 0;
  ThreadLife() {
    std::lock_guard<std::mutex> lock(Threads().mutex);
    serial = ++Threads().next;
    Threads().live.insert(serial);
  }
  ~ThreadLife() {
    std::lock_guard<std::mutex> lock(Threads().mutex);
    Threads().live.erase(serial);
  }
};
std::uint64_t ThisThread() {
  thread_local ThreadLife life;
  return life.serial;
}
bool IsLive(std::uint64_t serial) {
  std::lock_guard<std::mutex> lock(Threads().mutex);
  return Threads().live.count(serial) != 0;
}

// The system classes a window can be created with; names compare without
// regard to case, as class names do.
bool IsSystemClass(const std::u16string& name) {
  static const char16_t* const kClasses[] = {u"static", u"button", u"edit", u"listbox",
                                             u"combobox", u"scrollbar"};
  std::u16string f = Folded(name);
  return std::any_of(std::begin(kClasses), std::end(kClasses),
                     [&](const char16_t* c) { return f == c; });
}

// MAKELPARAM of two 16-bit values, sign-extended as the platform hands it on.
std::intptr_t MakeLParam(int low, int high) {
  auto packed = static_cast<std::uint32_t>((static_cast<std::uint32_t>(high) & 0xFFFFu) << 16 |
                                           (static_cast<std::uint32_t>(low) & 0xFFFFu));
  return static_cast<std::intptr_t>(static_cast<std::int32_t>(packed));
}

}  // namespace

SimWindowing::SimWindowing(SimClock& clock) : clock_(clock) {}

SimWindowing::~SimWindowing() = default;

std::uint32_t SimWindowing::ThreadIdLocked() {
  std::uint64_t self = ThisThread();
  auto it = threadIds_.find(self);
  if (it != threadIds_.end()) return it->second;
  std::uint32_t id = nextThreadId_;
  nextThreadId_ += 4;
  threadIds_.emplace(self, id);
  return id;
}

SimWindowing::Queue& SimWindowing::QueueLocked(std::uint32_t threadId) {
  return queues_[threadId];
}

WindowTarget* SimWindowing::TargetLocked(WindowHandle window) const {
  auto it = windows_.find(window);
  return it == windows_.end() ? nullptr : it->second.target;
}

void SimWindowing::Send(WindowHandle window, WindowTarget* target, std::uint32_t message,
                        std::uintptr_t wParam, std::intptr_t lParam) {
  // Called without the lock: the target may come back into any operation.
  if (target != nullptr) target->WindowProc(window, message, wParam, lParam);
}

WindowHandle SimWindowing::DesktopWindow() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (holdDesktop_) {
    ++heldDesktopCalls_;
    holdChanged_.notify_all();
    holdChanged_.wait(lock, [this] { return !holdDesktop_; });
    --heldDesktopCalls_;
  }
  QueueLocked(ThreadIdLocked());
  return kDesktop;
}

WinError SimWindowing::CreateWindow(const WindowCreateParams& params, WindowTarget* target,
                                    WindowHandle* out) {
  WindowHandle h = 0;
  std::size_t record = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t tid = ThreadIdLocked();
    QueueLocked(tid);
    WindowInfo info;
    info.className = FromNullable(params.className);
    info.title = FromNullable(params.title);
    info.exStyle = params.exStyle;
    info.style = params.style;
    info.x = params.x;
    info.y = params.y;
    info.width = params.width;
    info.height = params.height;
    info.parent = params.parent;
    info.childId = params.childId;
    info.threadId = tid;
    creations_.push_back(info);
    record = creations_.size() - 1;
    if (WinError f = faults_.Enter(Op::CreateWindow)) return f;
    if (!IsSystemClass(info.className)) return err::kClassDoesNotExist;
    if ((params.style & wm::kStyleChild) != 0 && params.parent == 0) return err::kTopLevelChild;
    if (params.parent != 0 && params.parent != kDesktop && windows_.count(params.parent) == 0)
      return err::kInvalidWindowHandle;
    h = nextWindow_;
    nextWindow_ += 4;
    info.handle = h;
    windows_[h] = Window{info, target, false};
  }

  // The creation record travels in lParam, as on the platform; a portable
  // target does not read it.
  std::intptr_t answer = 0;
  if (target != nullptr)
    answer = target->WindowProc(h, wm::kCreate, 0, reinterpret_cast<std::intptr_t>(&params));

  if (answer == -1) {
    // A refused creation tears the window down without WM_DESTROY: the
    // target sees only WM_NCDESTROY (as the platform does it).
    std::vector<WindowHandle> children;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = windows_.find(h);
      if (it != windows_.end()) it->second.destroying = true;
      for (const auto& [ch, w] : windows_)
        if (w.info.parent == h && !w.destroying) children.push_back(ch);
    }
    for (WindowHandle c : children) DestroyTree(c);
    Send(h, target, wm::kNcDestroy, 0, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    windows_.erase(h);
    for (auto it = timers_.begin(); it != timers_.end();)
      it = it->second.window == h ? timers_.erase(it) : std::next(it);
    return err::kCancelled;
  }

  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Destroyed from inside its own WM_CREATE: there is nothing to return.
    if (windows_.count(h) == 0) return err::kInvalidWindowHandle;
  }
  Send(h, target, wm::kSize, 0,
       MakeLParam(std::max(params.width, 0), std::max(params.height, 0)));
  Send(h, target, wm::kMove, 0, MakeLParam(params.x, params.y));

  std::lock_guard<std::mutex> lock(mutex_);
  if (windows_.count(h) == 0) return err::kInvalidWindowHandle;
  creations_[record].handle = h;
  if (out) *out = h;
  return err::kSuccess;
}

std::intptr_t SimWindowing::DefaultHandling(WindowHandle, std::uint32_t, std::uintptr_t,
                                            std::intptr_t) {
  // The static control answers 0 to every message a target hands on here
  // (creation, size, move, timer, destroy).
  std::lock_guard<std::mutex> lock(mutex_);
  QueueLocked(ThreadIdLocked());
  return 0;
}

void SimWindowing::DestroyTree(WindowHandle window) {
  WindowTarget* target = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(window);
    if (it == windows_.end() || it->second.destroying) return;
    it->second.destroying = true;
    target = it->second.target;
  }
  // The parent hears WM_DESTROY before its children go; WM_NCDESTROY comes
  // last, after theirs. Timers live until then (a WM_DESTROY handler may
  // still kill its own).
  Send(window, target, wm::kDestroy, 0, 0);
  std::vector<WindowHandle> children;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [h, w] : windows_)
      if (w.info.parent == window && !w.destroying) children.push_back(h);
  }
  for (WindowHandle c : children) DestroyTree(c);
  Send(window, target, wm::kNcDestroy, 0, 0);
  std::lock_guard<std::mutex> lock(mutex_);
  windows_.erase(window);
  for (auto it = timers_.begin(); it != timers_.end();)
    it = it->second.window == window ? timers_.erase(it) : std::next(it);
}

WinError SimWindowing::DestroyWindow(WindowHandle window) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t tid = ThreadIdLocked();
    QueueLocked(tid);
    if (WinError f = faults_.Enter(Op::DestroyWindow)) return f;
    auto it = windows_.find(window);
    // The platform answers 5 alike for a window of another thread, one that
    // is gone, and the desktop.
    if (it == windows_.end() || it->second.info.threadId != tid) return err::kAccessDenied;
    if (it->second.destroying) return err::kSuccess;
  }
  DestroyTree(window);
  return err::kSuccess;
}

std::uintptr_t SimWindowing::SetTimer(WindowHandle window, std::uintptr_t id,
                                      std::uint32_t periodMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t tid = ThreadIdLocked();
  QueueLocked(tid);
  if (faults_.Enter(Op::SetTimer) != 0) return 0;
  std::uint32_t period = std::clamp(periodMs, wm::kMinTimerPeriod, wm::kMaxTimerPeriod);
  std::uint32_t owner = tid;
  if (window != 0) {
    auto w = windows_.find(window);
    if (w == windows_.end()) return 0;
    // A window's timer ticks on the window's own thread, whoever set it.
    owner = w->second.info.threadId;
  } else {
    // A thread timer: an id of this thread's is restarted, any other id is
    // replaced by a fresh one, counted down as the platform does.
    auto t = timers_.find({0, id});
    if (id == 0 || t == timers_.end() || t->second.threadId != tid) {
      do {
        id = nextThreadTimerId_--;
        if (nextThreadTimerId_ == 0) nextThreadTimerId_ = 0x7FFF;
      } while (timers_.count({0, id}) != 0);
    }
  }
  Timer t;
  t.window = window;
  t.id = id;
  t.threadId = owner;
  t.period = period;
  t.due = clock_.NowMs() + period;
  t.seq = timerSeq_++;
  timers_[{window, id}] = t;
  posted_.notify_all();
  return id != 0 ? id : 1;
}

bool SimWindowing::KillTimer(WindowHandle window, std::uintptr_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t tid = ThreadIdLocked();
  QueueLocked(tid);
  if (faults_.Enter(Op::KillTimer) != 0) return false;
  auto t = timers_.find({window, id});
  if (t == timers_.end()) return false;
  if (window == 0 && t->second.threadId != tid) return false;
  timers_.erase(t);
  return true;
}

void SimWindowing::ExpireTimersLocked(std::uint64_t now) {
  for (auto& [key, t] : timers_) {
    if (t.due > now) continue;
    // However many periods went by, one WM_TIMER waits; the timer keeps
    // its cadence from its start.
    if (!t.pending) {
      t.pending = true;
      t.expiredAt = t.due;
    }
    std::uint64_t missed = (now - t.due) / t.period + 1;
    t.due += missed * t.period;
  }
}

int SimWindowing::GetMessage(WindowMessage* msg) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::uint32_t tid = ThreadIdLocked();
  Queue& queue = QueueLocked(tid);
  if (faults_.Enter(Op::GetMessage) != 0) return -1;
  for (;;) {
    if (!queue.posted.empty()) {
      WindowMessage m = queue.posted.front();
      queue.posted.pop_front();
      if (msg) *msg = m;
      return m.message == wm::kQuit ? 0 : 1;
    }
    ExpireTimersLocked(clock_.NowMs());
    Timer* due = nullptr;
    for (auto& [key, t] : timers_) {
      if (t.threadId != tid || !t.pending) continue;
      if (!due || t.expiredAt < due->expiredAt ||
          (t.expiredAt == due->expiredAt && t.seq < due->seq))
        due = &t;
    }
    if (due) {
      due->pending = false;
      if (msg) *msg = WindowMessage{due->window, wm::kTimer, due->id, 0};
      return 1;
    }
    // Nothing to take yet: move the virtual clock on to whatever comes
    // first, this thread's next timer or the next scheduled action.
    std::optional<std::uint64_t> next;
    for (const auto& [key, t] : timers_)
      if (t.threadId == tid && (!next || t.due < *next)) next = t.due;
    std::uint64_t action = 0;
    if (clock_.NextActionTime(&action) && (!next || action < *next)) next = action;
    if (next) {
      lock.unlock();
      clock_.AdvanceTo(*next);
      lock.lock();
      continue;
    }
    // Nothing will ever come from the clock: wait for another thread.
    ++blocked_;
    posted_.wait(lock);
    --blocked_;
  }
}

std::intptr_t SimWindowing::DispatchMessage(const WindowMessage& msg) {
  WindowTarget* target = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    QueueLocked(ThreadIdLocked());
    if (msg.window == 0) return 0;
    target = TargetLocked(msg.window);
  }
  if (!target) return 0;
  return target->WindowProc(msg.window, msg.message, msg.wParam, msg.lParam);
}

WinError SimWindowing::PostThreadMessage(std::uint32_t threadId, std::uint32_t message,
                                         std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  QueueLocked(ThreadIdLocked());
  if (WinError f = faults_.Enter(Op::PostThreadMessage)) return f;
  bool known = std::any_of(threadIds_.begin(), threadIds_.end(), [&](const auto& e) {
    return e.second == threadId && IsLive(e.first);
  });
  if (!known) return err::kInvalidParameter;
  auto q = queues_.find(threadId);
  if (q == queues_.end()) return err::kInvalidThreadId;
  q->second.posted.push_back(WindowMessage{0, message, wParam, lParam});
  posted_.notify_all();
  return err::kSuccess;
}

std::uint32_t SimWindowing::CurrentThreadId() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ThreadIdLocked();
}

// --- test side ---------------------------------------------------------

std::size_t SimWindowing::WindowCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return windows_.size();
}

std::size_t SimWindowing::TimerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_.size();
}

bool SimWindowing::IsWindow(WindowHandle window) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return windows_.count(window) != 0;
}

std::optional<SimWindowing::WindowInfo> SimWindowing::Info(WindowHandle window) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return std::nullopt;
  return it->second.info;
}

std::vector<SimWindowing::WindowInfo> SimWindowing::Creations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return creations_;
}

std::optional<std::uint32_t> SimWindowing::TimerPeriod(WindowHandle window,
                                                       std::uintptr_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = timers_.find({window, id});
  if (it == timers_.end()) return std::nullopt;
  return it->second.period;
}

std::optional<std::uint64_t> SimWindowing::TimerDue(WindowHandle window, std::uintptr_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = timers_.find({window, id});
  if (it == timers_.end()) return std::nullopt;
  return it->second.due;
}

WinError SimWindowing::PostMessage(WindowHandle window, std::uint32_t message,
                                   std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = windows_.find(window);
  if (it == windows_.end()) return err::kInvalidWindowHandle;
  QueueLocked(it->second.info.threadId)
      .posted.push_back(WindowMessage{window, message, wParam, lParam});
  posted_.notify_all();
  return err::kSuccess;
}

std::size_t SimWindowing::PostedCount(std::uint32_t threadId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto q = queues_.find(threadId);
  return q == queues_.end() ? 0 : q->second.posted.size();
}

bool SimWindowing::HasQueue(std::uint32_t threadId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queues_.count(threadId) != 0;
}

std::size_t SimWindowing::BlockedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocked_;
}

void SimWindowing::HoldDesktopWindow() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdDesktop_ = true;
}

void SimWindowing::ReleaseDesktopWindow() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holdDesktop_ = false;
  }
  holdChanged_.notify_all();
}

bool SimWindowing::WaitForHeldDesktopWindow(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return holdChanged_.wait_for(lock, timeout, [this] { return heldDesktopCalls_ > 0; });
}

}  // namespace talv::sim
