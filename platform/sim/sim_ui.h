// The simulated user interface: message boxes are recorded, not shown, and
// answered at once with OK.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace talv::sim {

class SimUserInterface final : public UserInterface {
 public:
  struct Box {
    std::u16string text;
    std::u16string caption;
    std::uint32_t style = 0;
  };
  int MessageBox(const char16_t* text, const char16_t* caption, std::uint32_t style) override {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back({text ? text : u"", caption ? caption : u"", style});
    return 1;  // IDOK
  }
  // Every box shown so far, in order.
  std::vector<Box> Boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Box> boxes_;
};

}  // namespace talv::sim
