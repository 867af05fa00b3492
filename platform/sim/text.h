// Small UTF-16 helpers for the simulated ports.
#pragma once

#include <string>

namespace talv::sim {

// Case folding as the registry and the SCM compare names: A-Z and the
// Latin-1 capitals fold to lower case, everything else stays.
inline char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  return c;
}

inline std::u16string Folded(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = FoldCase(c);
  return out;
}

inline std::u16string FromNullable(const char16_t* s) { return s ? std::u16string(s) : std::u16string(); }

}  // namespace talv::sim
