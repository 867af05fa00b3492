// The event-log port over advapi32's event source functions, and the
// console port over the process's standard output handle.
#pragma once

#include "platform/eventlog.h"

namespace talv::win32 {

class Win32EventLog final : public EventLog {
 public:
  WinError RegisterSource(const char16_t* server, const char16_t* source,
                          EventSourceHandle* out) override;
  WinError Report(EventSourceHandle source, std::uint16_t type, std::uint16_t category,
                  std::uint32_t eventId, std::uint16_t stringCount,
                  const char16_t* const* strings) override;
  WinError DeregisterSource(EventSourceHandle source) override;
};

class Win32Console final : public Console {
 public:
  void Write(const char16_t* text) override;
  void UseParentConsole() override;

 private:
  // Attached to the parent's console: writes go to "CONOUT$".
  bool parentConsole_ = false;
};

// Writes the text as UTF-8 to the standard handle `which` (STD_OUTPUT_HANDLE,
// STD_ERROR_HANDLE) at once; nothing when the process has no such handle.
void WriteToStdHandle(std::uint32_t which, const char16_t* text);

}  // namespace talv::win32
