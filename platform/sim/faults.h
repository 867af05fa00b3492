// Fault injection shared by the simulated ports: fail the next, or the Nth,
// call of an operation with a chosen Win32 error, and count the calls.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/types.h"

namespace talv::sim {

template <typename Op>
class FaultPlan {
 public:
  // The next call of `op` fails with `code`.
  void FailNext(Op op, WinError code) { FailNth(op, 1, code); }
  // The n-th call of `op` from now (1 = the next one) fails with `code`.
  void FailNth(Op op, unsigned n, WinError code) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[op][calls_[op] + n] = code;
  }
  // Every call of `op` from now on fails with `code` (0 clears it).
  void FailAlways(Op op, WinError code) {
    std::lock_guard<std::mutex> lock(mutex_);
    always_[op] = code;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();
    always_.clear();
  }
  // Counts one call of `op`; returns the error to fail it with, or 0.
  WinError Enter(Op op) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned long long n = ++calls_[op];
    auto p = pending_.find(op);
    if (p != pending_.end()) {
      auto hit = p->second.find(n);
      if (hit != p->second.end()) {
        WinError code = hit->second;
        p->second.erase(hit);
        return code;
      }
    }
    auto a = always_.find(op);
    return a == always_.end() ? 0 : a->second;
  }
  // How many calls of `op` were made so far.
  unsigned long long Calls(Op op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = calls_.find(op);
    return it == calls_.end() ? 0 : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<Op, unsigned long long> calls_;
  std::map<Op, std::map<unsigned long long, WinError>> pending_;
  std::map<Op, WinError> always_;
};

}  // namespace talv::sim
