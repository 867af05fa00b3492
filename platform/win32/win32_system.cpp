#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_system.h"

#include <cstdlib>

namespace talv::win32 {

void Win32System::Sleep(std::uint32_t ms) { ::Sleep(ms); }

WinError Win32System::GetLastError() { return static_cast<WinError>(::GetLastError()); }

void Win32System::SetLastError(WinError error) { ::SetLastError(error); }

std::uint32_t Win32System::SetErrorMode(std::uint32_t mode) { return ::SetErrorMode(mode); }

std::uint32_t Win32System::GetErrorMode() {
  // GetErrorMode is newer than the platform version we build for; setting
  // the mode and putting it back reads it just as well.
  UINT mode = ::SetErrorMode(0);
  ::SetErrorMode(mode);
  return mode;
}

const char16_t* Win32System::CommandLine() { return U(GetCommandLineW()); }

std::uint32_t Win32System::ModuleFileName(ModuleHandle module, char16_t* buffer,
                                          std::uint32_t capacity) {
  DWORD n = GetModuleFileNameW(ToHandle<HMODULE>(module), W(buffer), capacity);
  if (n != 0 && n == capacity) {
    // Older platforms (Wine among them) leave a cut name unterminated.
    buffer[capacity - 1] = 0;
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  }
  return n;
}

int Win32System::AtExit(void (*routine)()) { return std::atexit(routine); }

void Win32System::ExitProcess(std::uint32_t code) { ::ExitProcess(code); }

std::uint32_t Win32System::ShortPathName(const char16_t* longPath, char16_t* buffer,
                                         std::uint32_t capacity) {
  return GetShortPathNameW(W(longPath), W(buffer), capacity);
}

int Win32System::AnsiToWide(const char* text, int length, char16_t* buffer, int capacity) {
  return MultiByteToWideChar(CP_ACP, 0, text, length, W(buffer), capacity);
}

int Win32System::LoadString(ModuleHandle module, std::uint32_t id, char16_t* buffer,
                            int capacity) {
  // Capacity 0 would make LoadStringW write a pointer into the buffer.
  if (buffer == nullptr || capacity <= 0) return 0;
  HINSTANCE instance = module != 0 ? ToHandle<HINSTANCE>(module) : GetModuleHandleW(nullptr);
  return LoadStringW(instance, id, W(buffer), capacity);
}

}  // namespace talv::win32
