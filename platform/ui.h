// The user-interface port: the message boxes a registration run shows to
// the person at the console, and what it writes instead where nobody could
// see a box.
#pragma once

#include <cstdint>

namespace talv {

namespace ui {
inline constexpr std::uint32_t kOk = 0;  // MB_OK
}

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // MessageBoxW(no owner, text, caption, style): waits until it is dismissed;
  // returns the button pressed (0 when the box could not be shown).
  virtual int MessageBox(const char16_t* text, const char16_t* caption, std::uint32_t style) = 0;
  // Whether the process's window station is visible (WSF_VISIBLE in its
  // UOI_FLAGS); false when that cannot be read.
  virtual bool WindowStationVisible() = 0;
  // Writes the text and a line break to standard error at once; nothing
  // when the process has none.
  virtual void WriteError(const char16_t* text) = 0;
};

}  // namespace talv
