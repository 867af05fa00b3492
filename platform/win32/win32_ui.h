// The user-interface port over MessageBoxW, the process's window station
// and standard error.
#pragma once

#include "platform/ui.h"

namespace talv::win32 {

class Win32UserInterface final : public UserInterface {
 public:
  int MessageBox(const char16_t* text, const char16_t* caption, std::uint32_t style) override;
  bool WindowStationVisible() override;
  void WriteError(const char16_t* text) override;
};

}  // namespace talv::win32
