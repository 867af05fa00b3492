// The event-log port (register a source, report one event, deregister) and
// the standard output stream a plain-process run writes to instead.
#pragma once

#include <cstdint>

#include "platform/owner.h"
#include "platform/types.h"

namespace talv {

using EventSourceHandle = Handle;  // 0 is none

namespace evt {
inline constexpr std::uint16_t kError = 1;
inline constexpr std::uint16_t kWarning = 2;
inline constexpr std::uint16_t kInformation = 4;
}  // namespace evt

class EventLog {
 public:
  virtual ~EventLog() = default;
  // RegisterEventSourceW(server, source); *out only on success.
  [[nodiscard]] virtual WinError RegisterSource(const char16_t* server, const char16_t* source,
                                  EventSourceHandle* out) = 0;
  // ReportEventW(handle, type, category, id, no user SID, strings, no raw data).
  [[nodiscard]] virtual WinError Report(EventSourceHandle source, std::uint16_t type, std::uint16_t category,
                          std::uint32_t eventId, std::uint16_t stringCount,
                          const char16_t* const* strings) = 0;
  // DeregisterEventSource.
  virtual WinError DeregisterSource(EventSourceHandle source) = 0;
};

// A registered event source, deregistered on every path out of a scope.
using UniqueEventSource = Owner<ClosedBy<&EventLog::DeregisterSource>>;

// Registers `name` into `source`; keeps the old one on failure.
[[nodiscard]] inline WinError RegisterSource(UniqueEventSource& source, EventLog& log, const char16_t* server,
                               const char16_t* name) {
  return OpenInto(source, log,
                  [&](EventSourceHandle* out) { return log.RegisterSource(server, name, out); });
}

class Console {
 public:
  virtual ~Console() = default;
  // Writes the text to standard output at once (no buffering across calls).
  virtual void Write(const char16_t* text) = 0;
  // For a process started without standard output: later writes go to the
  // console of the process that started it, if it has one (AttachConsole,
  // then "CONOUT$", as UTF-16). With standard output nothing changes.
  virtual void UseParentConsole() = 0;
};

}  // namespace talv
