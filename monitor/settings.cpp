#include "monitor/settings.h"

#include <limits>

namespace talv {

namespace {

// Reads a value of at most 4 bytes as a little-endian unsigned number. Data
// of 1 to 3 bytes counts as the number those bytes make; a value with no data
// at all counts as unreadable, like a missing one.
WinError ReadNumber(Registry& registry, RegKey key, const char16_t* name, std::uint32_t* out) {
  std::uint8_t bytes[4] = {};
  std::uint32_t size = sizeof bytes;
  std::uint32_t type = 0;
  WinError e = registry.QueryValue(key, name, &type, bytes, &size);
  if (e != err::kSuccess) return e;
  if (size == 0) return err::kInvalidParameter;
  std::uint32_t v = 0;
  for (std::uint32_t i = 0; i < size && i < 4; ++i) v |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  *out = v;
  return err::kSuccess;
}

}  // namespace

WinError ReadMonitorSettings(Registry& registry, std::uint32_t* checkIntervalSec,
                             std::uint32_t* thresholdMB) {
  *checkIntervalSec = 60;
  *thresholdMB = 10;
  UniqueKey key;
  WinError last = Open(key, registry, reg::kLocalMachine, kSettingsKey, reg::kRead);
  if (last != err::kSuccess) return last;

  std::uint32_t minutes = 0;
  last = ReadNumber(registry, key.get(), u"CheckEveryMinutes", &minutes);
  if (last != err::kSuccess) {
    *checkIntervalSec = 120;
  } else {
    // Minutes to seconds, saturating instead of wrapping past 32 bits.
    constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
    *checkIntervalSec = minutes > kMax / 60 ? kMax : minutes * 60;
  }
  if (*checkIntervalSec == 0) *checkIntervalSec = 120;

  std::uint32_t threshold = 0;
  last = ReadNumber(registry, key.get(), u"FreePoolSpaceThresholdMB", &threshold);
  *thresholdMB = last == err::kSuccess ? threshold : 10;
  return last;
}

}  // namespace talv
