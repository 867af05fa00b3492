// The one way the system writes a message: an event in the application
// event log while the process runs as a service, a line on standard output
// when it runs as a plain process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/eventlog.h"

namespace talv {

class CEventLogReporter {
 public:
  // Longest message written: 255 units; longer text is cut there.
  static constexpr std::size_t kMessageUnits = 255;
  static constexpr std::size_t kDisplayNameUnits = 64;

  CEventLogReporter(EventLog& eventLog, Console& console);
  virtual ~CEventLogReporter() = default;
  CEventLogReporter(const CEventLogReporter&) = delete;
  CEventLogReporter& operator=(const CEventLogReporter&) = delete;

  // Sets the event source name (cut to 63 units).
  void SetDisplayName(const char16_t* name);
  // Writes `text` as it stands (a "%" in it is just a character) as one
  // event of `type` (evt::k*) under the source `displayName`, or as one
  // console line in a plain-process run. Failures drop the message silently.
  void WriteEventLog(std::uint16_t type, const char16_t* text);
  // The same, never cut: for the watch report, whose many drives would be
  // cut in the middle of one.
  void WriteWholeEventLog(std::uint16_t type, const char16_t* text);
  // The same as one event, whatever kind of run this is.
  void WriteEvent(std::uint16_t type, const char16_t* text);

  // The event source name, zero-terminated.
  char16_t displayName[kDisplayNameUnits] = {};
  // Non-zero while the process runs under the Service Control Manager.
  std::int32_t runningAsService = 0;

 private:
  // Writes the message buffer `message` (terminated, with room for one more
  // unit behind its terminator) as an event, or else as a console line.
  void Write(std::uint16_t type, char16_t* message, std::size_t length, bool asEvent);

  EventLog& eventLog_;
  Console& console_;
};

}  // namespace talv
