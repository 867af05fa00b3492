// Message templates with positional inserts, in the manner of the platform's
// FormatMessageW with a template given as a string: %1 to %9 stand for the
// argument of that number, %n!d!, %n!u! and %n!x! take it as a number, and
// %% is a single percent sign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talv {

// One insert. Numbers are carried 64 bits wide, so an unsigned 32-bit value
// shown with !d! never reads as negative.
struct MessageArg {
  const char16_t* text = nullptr;  // the insert as a string (null: empty)
  std::int64_t number = 0;         // the insert as a number

  static MessageArg Text(const char16_t* s) { return MessageArg{s, 0}; }
  static MessageArg Number(std::int64_t n) { return MessageArg{nullptr, n}; }
};

// Fills the template's inserts from `args` (insert %k is args[k-1]). An
// insert whose argument is missing is left empty; a percent sign followed
// by anything else is copied as it stands.
std::u16string FormatMessageText(const char16_t* templ, const MessageArg* args,
                                 std::size_t argCount);

}  // namespace talv
