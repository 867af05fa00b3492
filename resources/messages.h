// Every text the program writes, in one place: the string table that
// talvmon.rc compiles into the executable (and the simulator loads), and the
// service runtime's own messages, which are not in the string table. Code
// and tests name a text through here, never through a copy.
//
// Included by the resource compiler too (RC_INVOKED): keep the string table
// list plain preprocessor, and each text one narrow literal.
#pragma once

// X(id, name, text): one entry of the executable's string table.
#define TALV_STRING_TABLE(X)                                                                     \
  X(100, ServiceName, "TALVMON")                                                                 \
  X(101, DisplayName, "TALV Wardstone")                                                          \
  X(102, LowPoolSpace,                                                                           \
    "TALV pool '%1' has reached Microsoft Exchange Server shutdown threshold for partition %2: of < %3!d! MB free in the pool.") \
  X(103, ShutdownStarting, "TALV Wardstone will now stop Microsoft Exchange Server.")           \
  X(104, StopFailed, "Error (%1!x!) stopping service '%2'.")                                    \
  X(105, ShutdownDone, "TALV Wardstone has completed the shutdown of Microsoft Exchange.")      \
  X(106, WatchingAll,                                                                            \
    "TALV Wardstone is watching every Exchange drive: %1. Threshold %2!u! MB, checked every %3!u! seconds.") \
  X(107, CannotWatchAll,                                                                         \
    "TALV Wardstone cannot watch every Exchange drive: %1. Threshold %2!u! MB, checked every %3!u! seconds.")

#ifndef RC_INVOKED
#include <cstdint>

namespace talv::resources {

struct StringTableEntry {
  std::uint32_t id;
  const char16_t* text;
};

#define TALV_STRING_ID(id, name, text) inline constexpr std::uint32_t kId##name = id;
TALV_STRING_TABLE(TALV_STRING_ID)
#undef TALV_STRING_ID

#define TALV_STRING_TEXT(id, name, text) inline constexpr const char16_t* kText##name = u"" text;
TALV_STRING_TABLE(TALV_STRING_TEXT)
#undef TALV_STRING_TEXT

// The executable's string table, byte for byte as the executable carries it.
inline constexpr StringTableEntry kStringTable[] = {
#define TALV_STRING_ENTRY(id, name, text) {id, u"" text},
    TALV_STRING_TABLE(TALV_STRING_ENTRY)
#undef TALV_STRING_ENTRY
};

// The service runtime's own messages.
inline constexpr const char16_t* kTextServiceStarted = u"Service started";
inline constexpr const char16_t* kTextServiceStopped = u"Service stopped";
inline constexpr const char16_t* kTextHandlerNotInstalled = u"Handler not installed";

}  // namespace talv::resources
#endif
