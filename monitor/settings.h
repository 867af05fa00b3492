// The monitor's two settings under
// HKLM\System\CurrentControlSet\Services\TALVMON\Parameters.
#pragma once

#include <cstdint>

#include "platform/registry.h"

namespace talv {

inline constexpr const char16_t* kSettingsKey =
    u"System\\CurrentControlSet\\Services\\TALVMON\\Parameters";

// Fills the check interval (seconds) and the threshold (MB), always both,
// with their fallbacks for whatever fails; returns the status of the last
// registry call, which callers ignore.
WinError ReadMonitorSettings(Registry& registry, std::uint32_t* checkIntervalSec,
                             std::uint32_t* thresholdMB);

}  // namespace talv
