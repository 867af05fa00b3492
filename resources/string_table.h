// The executable's string table: the service's names and the texts of the
// shutdown messages, byte for byte as the executable carries them. The
// simulated string table starts out filled from here.
#pragma once

#include <cstdint>

namespace talv::resources {

struct StringTableEntry {
  std::uint32_t id;
  const char16_t* text;
};

inline constexpr std::uint32_t kIdServiceName = 100;
inline constexpr std::uint32_t kIdDisplayName = 101;
inline constexpr std::uint32_t kIdLowPoolSpace = 102;
inline constexpr std::uint32_t kIdShutdownStarting = 103;
inline constexpr std::uint32_t kIdStopFailed = 104;
inline constexpr std::uint32_t kIdShutdownDone = 105;

inline constexpr StringTableEntry kStringTable[] = {
    {kIdServiceName, u"TALVMON"},
    {kIdDisplayName, u"TALV Wardstone"},
    {kIdLowPoolSpace,
     u"TALV pool '%1' has reached Microsoft Exchange Server shutdown threshold for partition %2: "
     u"of < %3!d! MB free in the pool."},
    {kIdShutdownStarting, u"TALV Wardstone will now stop Microsoft Exchange Server."},
    {kIdStopFailed, u"Error (%1!x!) stopping service '%2'."},
    {kIdShutdownDone, u"TALV Wardstone has completed the shutdown of Microsoft Exchange."},
};

}  // namespace talv::resources
