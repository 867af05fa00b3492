// The simulated user interface: message boxes are recorded, not shown, and
// answered at once with OK; the window station is visible unless the test
// says otherwise; standard error is recorded.
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
  bool WindowStationVisible() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return visible_;
  }
  void WriteError(const char16_t* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errorText_ += text ? text : u"";
    errorText_ += u'\n';
  }
  // --- test side -------------------------------------------------------
  // Every box shown so far, in order.
  std::vector<Box> Boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
  }
  // A service's or an installer's window station: not visible.
  void SetWindowStationVisible(bool visible) {
    std::lock_guard<std::mutex> lock(mutex_);
    visible_ = visible;
  }
  // Everything written to standard error so far.
  std::u16string ErrorText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorText_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Box> boxes_;
  bool visible_ = true;
  std::u16string errorText_;
};

}  // namespace talv::sim
