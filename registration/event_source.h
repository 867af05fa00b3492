// The event source of the application event log: the key that names the
// executable as the message file of the source, so that Event Viewer shows
// each event's text (every event has identifier 0, whose message in the
// executable's message table is its one insertion string, as it is).
#pragma once

#include <cstdint>

#include "platform/registry.h"
#include "platform/system.h"

namespace talv {

// Where the application log's sources are registered, below HKEY_LOCAL_MACHINE.
inline constexpr const char16_t* kEventSourcesKey = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
// Error, warning and information: every event type the program writes.
inline constexpr std::uint32_t kEventTypesSupported = 7;

// Creates (or rewrites) the key of `source` with EventMessageFile, the
// executable's full path (REG_EXPAND_SZ), and TypesSupported; 0 or the Win32
// error of the first step that failed.
[[nodiscard]] WinError RegisterEventMessageFile(Registry& registry, System& system, const char16_t* source);
// Deletes the key of `source`; 0 also when it was not there.
[[nodiscard]] WinError UnregisterEventMessageFile(Registry& registry, const char16_t* source);

}  // namespace talv
