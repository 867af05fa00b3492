#include "service/event_log_reporter.h"

#include <string>

namespace talv {

CEventLogReporter::CEventLogReporter(EventLog& eventLog, Console& console)
    : eventLog_(eventLog), console_(console) {}

void CEventLogReporter::SetDisplayName(const char16_t* name) {
  std::size_t n = 0;
  if (name != nullptr)
    for (; n + 1 < kDisplayNameUnits && name[n] != 0; ++n) displayName[n] = name[n];
  displayName[n] = 0;
}

namespace {
// The text cut to the longest message, into `message` (room for the text,
// a line feed and the terminator); returns its length.
std::size_t CutMessage(const char16_t* text,
                       char16_t (&message)[CEventLogReporter::kMessageUnits + 2]) {
  std::size_t n = 0;
  if (text != nullptr)
    for (; n < CEventLogReporter::kMessageUnits && text[n] != 0; ++n) message[n] = text[n];
  message[n] = 0;
  return n;
}
}  // namespace

void CEventLogReporter::WriteEventLog(std::uint16_t type, const char16_t* text) {
  char16_t message[kMessageUnits + 2];
  std::size_t n = CutMessage(text, message);
  Write(type, message, n, runningAsService != 0);
}

void CEventLogReporter::WriteWholeEventLog(std::uint16_t type, const char16_t* text) {
  std::u16string message(text != nullptr ? text : u"");
  const std::size_t n = message.size();
  message.push_back(0);  // room for the console's line feed
  Write(type, message.data(), n, runningAsService != 0);
}

void CEventLogReporter::WriteEvent(std::uint16_t type, const char16_t* text) {
  char16_t message[kMessageUnits + 2];
  std::size_t n = CutMessage(text, message);
  Write(type, message, n, true);
}

void CEventLogReporter::Write(std::uint16_t type, char16_t* message, std::size_t n,
                              bool asEvent) {
  if (asEvent) {
    UniqueEventSource source;
    if (RegisterSource(source, eventLog_, nullptr, displayName) != err::kSuccess || !source)
      return;  // no source: the message is lost
    const char16_t* strings[1] = {message};
    // A report the log refuses is lost: there is nowhere else to tell.
    (void)eventLog_.Report(source.get(), type, 0, 0, 1, strings);
    return;
  }
  message[n] = u'\n';
  message[n + 1] = 0;
  console_.Write(message);
}

}  // namespace talv
