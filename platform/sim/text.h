// Small UTF-16 helpers for the simulated ports; names fold through
// platform/text.h, as the product's do.
#pragma once

#include <string>

#include "platform/text.h"

namespace talv::sim {

inline std::u16string FromNullable(const char16_t* s) { return s ? std::u16string(s) : std::u16string(); }

}  // namespace talv::sim
