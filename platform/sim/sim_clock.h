// The simulator's virtual clock, shared by every simulated port: timers,
// sleeps and the simulated services all measure time on it, and tests move
// it forward, so nothing in a host test waits for real.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace talv::sim {

class SimClock {
 public:
  // Milliseconds since the simulation started.
  std::uint64_t NowMs() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return now_;
  }
  // Moves time forward by `ms`, running every scheduled action that falls
  // due on the way, each at its own time, in time order.
  void Advance(std::uint64_t ms) { AdvanceTo(NowMs() + ms); }
  void AdvanceTo(std::uint64_t target) {
    for (;;) {
      std::function<void()> action;
      {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        auto it = actions_.begin();
        if (it == actions_.end() || it->first.first > target) {
          if (target > now_) now_ = target;
          return;
        }
        if (it->first.first > now_) now_ = it->first.first;
        action = std::move(it->second);
        actions_.erase(it);
      }
      action();
    }
  }
  // Runs `action` when the clock reaches `atMs` (at once on the next advance
  // if that time has passed). Actions due at the same time run in the order
  // they were scheduled.
  void At(std::uint64_t atMs, std::function<void()> action) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    actions_.emplace(std::make_pair(atMs, seq_++), std::move(action));
  }
  // When the next scheduled action falls due, or false when none is left.
  bool NextActionTime(std::uint64_t* atMs) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (actions_.empty()) return false;
    *atMs = actions_.begin()->first.first;
    return true;
  }

 private:
  mutable std::recursive_mutex mutex_;
  std::uint64_t now_ = 0;
  std::uint64_t seq_ = 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::function<void()>> actions_;
};

}  // namespace talv::sim
