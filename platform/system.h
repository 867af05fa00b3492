// The system port: sleeping, the thread's last error, the process's error
// mode, command line, module file name, exit routines, the end of the
// process, and texts of the executable's string table.
#pragma once

#include <cstdint>

#include "platform/library.h"
#include "platform/types.h"

namespace talv {

class System {
 public:
  virtual ~System() = default;
  // Sleep(ms); 0 yields at once.
  virtual void Sleep(std::uint32_t ms) = 0;
  // GetLastError / SetLastError of the calling thread.
  virtual WinError GetLastError() = 0;
  virtual void SetLastError(WinError error) = 0;
  // SetErrorMode: sets the mode, returns the previous one.
  virtual std::uint32_t SetErrorMode(std::uint32_t mode) = 0;
  // GetErrorMode.
  virtual std::uint32_t GetErrorMode() = 0;
  // GetCommandLineW: the whole line, program path included.
  virtual const char16_t* CommandLine() = 0;
  // GetModuleFileNameW (module 0: the executable): units copied without the
  // terminator; a cut result is terminated and reports 122 as last error.
  virtual std::uint32_t ModuleFileName(ModuleHandle module, char16_t* buffer,
                                       std::uint32_t capacity) = 0;
  // Registers a routine to run at process exit (atexit); 0 on success.
  virtual int AtExit(void (*routine)()) = 0;
  // ExitProcess(code): ends the process, every thread of it, from any
  // thread. Windows never returns from it; the simulator records it and
  // returns, so a caller returns at once after it.
  virtual void ExitProcess(std::uint32_t code) = 0;
  // GetShortPathNameW: the short form's length without the terminator when
  // it fits `capacity`, the size needed (with terminator) when it does not,
  // 0 on failure (last error set).
  virtual std::uint32_t ShortPathName(const char16_t* longPath, char16_t* buffer,
                                      std::uint32_t capacity) = 0;
  // MultiByteToWideChar from the system ANSI code page: units written
  // (including the terminator when the input's length is -1), 0 on failure.
  virtual int AnsiToWide(const char* text, int length, char16_t* buffer, int capacity) = 0;
  // LoadStringW(module, id, buffer, capacity): units copied, cut to fit and
  // always terminated; 0 when the string does not exist.
  virtual int LoadString(ModuleHandle module, std::uint32_t id, char16_t* buffer,
                         int capacity) = 0;
};

}  // namespace talv
