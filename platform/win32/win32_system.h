// The system port over the real process and kernel functions.
#pragma once

#include "platform/system.h"

namespace talv::win32 {

class Win32System final : public System {
 public:
  void Sleep(std::uint32_t ms) override;
  WinError GetLastError() override;
  void SetLastError(WinError error) override;
  std::uint32_t SetErrorMode(std::uint32_t mode) override;
  std::uint32_t GetErrorMode() override;
  const char16_t* CommandLine() override;
  std::uint32_t ModuleFileName(ModuleHandle module, char16_t* buffer,
                               std::uint32_t capacity) override;
  int AtExit(void (*routine)()) override;
  void ExitProcess(std::uint32_t code) override;
  std::uint32_t ShortPathName(const char16_t* longPath, char16_t* buffer,
                              std::uint32_t capacity) override;
  int AnsiToWide(const char* text, int length, char16_t* buffer, int capacity) override;
  int LoadString(ModuleHandle module, std::uint32_t id, char16_t* buffer, int capacity) override;
};

}  // namespace talv::win32
