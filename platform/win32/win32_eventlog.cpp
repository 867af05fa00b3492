#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_eventlog.h"

#include <string>

namespace talv::win32 {

WinError Win32EventLog::RegisterSource(const char16_t* server, const char16_t* source,
                                       EventSourceHandle* out) {
  HANDLE h = ::RegisterEventSourceW(W(server), W(source));
  if (!h) return LastError();
  if (out) *out = FromHandle(h);
  return err::kSuccess;
}

WinError Win32EventLog::Report(EventSourceHandle source, std::uint16_t type,
                               std::uint16_t category, std::uint32_t eventId,
                               std::uint16_t stringCount, const char16_t* const* strings) {
  // ReportEventW takes a non-const array of const strings.
  auto list = const_cast<LPCWSTR*>(reinterpret_cast<const LPCWSTR*>(strings));
  return ::ReportEventW(ToHandle<HANDLE>(source), type, category, eventId, nullptr, stringCount, 0,
                        list, nullptr)
             ? err::kSuccess
             : LastError();
}

WinError Win32EventLog::DeregisterSource(EventSourceHandle source) {
  return ::DeregisterEventSource(ToHandle<HANDLE>(source)) ? err::kSuccess : LastError();
}

void Win32Console::Write(const char16_t* text) { WriteToStdHandle(STD_OUTPUT_HANDLE, text); }

void WriteToStdHandle(std::uint32_t which, const char16_t* text) {
  if (!text || !*text) return;
  int units = ::WideCharToMultiByte(CP_UTF8, 0, W(text), -1, nullptr, 0, nullptr, nullptr);
  if (units <= 1) return;
  std::string utf8(static_cast<std::size_t>(units), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, W(text), -1, utf8.data(), units, nullptr, nullptr);
  utf8.pop_back();  // the terminator
  // Straight to the handle, bypassing the C runtime: its buffer would hold
  // the text back until the process exits when the output is a pipe/file.
  HANDLE out = ::GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const char* p = utf8.data();
  DWORD left = static_cast<DWORD>(utf8.size());
  while (left > 0) {
    DWORD written = 0;
    if (!::WriteFile(out, p, left, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

}  // namespace talv::win32
