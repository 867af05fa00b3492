#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_eventlog.h"

#include <string>

#include "platform/owner.h"

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

namespace {

// A kernel handle of this adapter's own, closed on every path out of a scope.
struct KernelHandle {
  using Port = Win32Console;
  using Value = HANDLE;
  static constexpr HANDLE kNone = nullptr;
  static BOOL Close(Win32Console&, HANDLE h) { return ::CloseHandle(h); }
};
using UniqueKernelHandle = Owner<KernelHandle>;

bool HasStandardOutput() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return out != nullptr && out != INVALID_HANDLE_VALUE;
}

}  // namespace

void Win32Console::UseParentConsole() {
  if (parentConsole_ || HasStandardOutput()) return;
  // AttachConsole came with Windows XP: bound at run time, so that the
  // program still loads on Windows 2000 (where there is then no console).
  using AttachConsoleFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto attach = kernel != nullptr ? reinterpret_cast<AttachConsoleFn>(
                                        reinterpret_cast<void*>(::GetProcAddress(kernel, "AttachConsole")))
                                  : nullptr;
  constexpr DWORD kAttachParentProcess = static_cast<DWORD>(-1);  // ATTACH_PARENT_PROCESS
  parentConsole_ = attach != nullptr && attach(kAttachParentProcess) != FALSE;
}

void Win32Console::Write(const char16_t* text) {
  if (!text || !*text) return;
  if (parentConsole_) {
    // The console's own handle takes UTF-16 as it is; opened per write, so
    // nothing is held between writes.
    UniqueKernelHandle console(*this, ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                    OPEN_EXISTING, 0, nullptr));
    if (console.get() == INVALID_HANDLE_VALUE) {
      console.release();
      return;
    }
    const wchar_t* p = W(text);
    DWORD left = static_cast<DWORD>(std::char_traits<char16_t>::length(text));
    while (left > 0) {
      DWORD written = 0;
      if (!::WriteConsoleW(console.get(), p, left, &written, nullptr) || written == 0) return;
      p += written;
      left -= written;
    }
    return;
  }
  WriteToStdHandle(STD_OUTPUT_HANDLE, text);
}

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
