// The simulated system services: sleeping on the virtual clock, a last
// error per thread, the error mode, a command line, module file names and
// short path names that tests set, exit routines that tests run, the
// process's end recorded for the test, and a string table that starts out
// as the executable's own.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/faults.h"
#include "platform/sim/sim_clock.h"
#include "platform/system.h"

namespace talv::sim {

class SimSystem final : public System {
 public:
  enum class Op { ModuleFileName, AtExit, ShortPathName, AnsiToWide, LoadString };

  // The executable's module handle (the module instance a process entry
  // receives); module 0 means the executable as well.
  static constexpr ModuleHandle kExecutable = 0x140000000ull;

  explicit SimSystem(SimClock& clock);
  ~SimSystem() override;

  void Sleep(std::uint32_t ms) override;
  WinError GetLastError() override;
  void SetLastError(WinError error) override;
  std::uint32_t SetErrorMode(std::uint32_t mode) override;
  std::uint32_t GetErrorMode() override;
  const char16_t* CommandLine() override;
  std::uint32_t ModuleFileName(ModuleHandle module, char16_t* buffer,
                               std::uint32_t capacity) override;
  int AtExit(void (*routine)()) override;
  // Records the code (the first one counts) and tells the process-end hook;
  // returns, as nothing here can end the caller's thread.
  void ExitProcess(std::uint32_t code) override;
  std::uint32_t ShortPathName(const char16_t* longPath, char16_t* buffer,
                              std::uint32_t capacity) override;
  int AnsiToWide(const char* text, int length, char16_t* buffer, int capacity) override;
  int LoadString(ModuleHandle module, std::uint32_t id, char16_t* buffer, int capacity) override;

  // --- test side -------------------------------------------------------
  FaultPlan<Op>& faults() { return faults_; }
  // Every Sleep in order, and their sum.
  std::vector<std::uint32_t> Sleeps() const;
  std::uint64_t TotalSleptMs() const;
  void SetCommandLine(std::u16string line);
  // The file name GetModuleFileNameW gives for a module (0: the executable).
  void SetModuleFileName(std::u16string path, ModuleHandle module = 0);
  // GetShortPathNameW answers `shortPath` for `longPath` (compared without
  // regard to case); every other path does not exist (2).
  void DefineShortPath(std::u16string longPath, std::u16string shortPath);
  void RemoveShortPath(const std::u16string& longPath);
  // The string table: change one text, remove one, or go back to the
  // executable's own table.
  void SetString(std::uint32_t id, std::u16string text);
  void RemoveString(std::uint32_t id);
  void ResetStrings();
  // Routines registered with AtExit, and running them as process exit
  // does: last registered first, each once.
  std::size_t ExitRoutineCount() const;
  void RunExitRoutines();
  // The code the process was ended with, or nullopt while it has not been.
  std::optional<std::uint32_t> ExitCode() const;
  // Run (on the ending thread) when the process is ended: the simulated
  // machine tells its service manager, whose dispatcher then returns.
  void SetProcessEndHook(std::function<void()> hook);

 private:
  bool IsExecutable(ModuleHandle module) const { return module == 0 || module == kExecutable; }

  SimClock& clock_;
  mutable std::mutex mutex_;
  std::map<std::uint64_t, WinError> lastError_;  // by thread serial
  std::uint32_t errorMode_ = 0;
  std::u16string commandLine_;
  std::map<ModuleHandle, std::u16string> moduleNames_;
  std::map<std::u16string, std::u16string> shortPaths_;  // by folded long path
  std::map<std::uint32_t, std::u16string> strings_;
  std::vector<void (*)()> exitRoutines_;
  std::optional<std::uint32_t> exitCode_;
  std::function<void()> processEndHook_;
  std::vector<std::uint32_t> sleeps_;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
