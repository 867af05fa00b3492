// The user-interface port over MessageBoxW.
#pragma once

#include "platform/ui.h"

namespace talv::win32 {

class Win32UserInterface final : public UserInterface {
 public:
  int MessageBox(const char16_t* text, const char16_t* caption, std::uint32_t style) override;
};

}  // namespace talv::win32
