// Names compared without regard to case, as Windows compares registry key
// and value names, service names, module paths and command-line switches.
// Every port and subsystem folds through these, so a name that matches in
// the simulator matches in the product.
#pragma once

#include <string>
#include <string_view>

namespace talv {

// A-Z to lower case, nothing else (drive letters).
constexpr char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// A-Z and the Latin-1 capitals (not the multiplication sign) to lower case,
// everything else stays: how names are folded here.
constexpr char16_t FoldName(char16_t c) {
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  return FoldAscii(c);
}

// `s` with every unit folded by FoldName.
inline std::u16string Folded(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = FoldName(c);
  return out;
}

// Whether two terminated names are the same once folded by FoldName.
inline bool SameName(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    if (FoldName(*a) != FoldName(*b)) return false;
    if (*a == 0) return true;
  }
}

}  // namespace talv
