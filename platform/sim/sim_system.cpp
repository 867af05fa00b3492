#include "platform/sim/sim_system.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "platform/sim/text.h"
#include "resources/messages.h"

namespace talv::sim {

namespace {
// Each thread's own serial: std::thread ids are reused after a thread ends,
// and a new thread starts with no last error.
std::uint64_t ThisThread() {
  static std::atomic<std::uint64_t> next{0};
  thread_local const std::uint64_t serial = ++next;
  return serial;
}

const char16_t kDefaultModule[] = u"C:\\Program Files\\TALV\\talvmon.exe";
const char16_t kDefaultShortModule[] = u"C:\\PROGRA~1\\TALV\\talvmon.exe";
}  // namespace

SimSystem::SimSystem(SimClock& clock) : clock_(clock) {
  commandLine_ = u"\"" + std::u16string(kDefaultModule) + u"\"";
  moduleNames_[0] = kDefaultModule;
  shortPaths_[Folded(kDefaultModule)] = kDefaultShortModule;
  ResetStrings();
}

SimSystem::~SimSystem() = default;

void SimSystem::Sleep(std::uint32_t ms) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.push_back(ms);
  }
  // Time passes on the virtual clock only; whatever falls due meanwhile runs.
  clock_.Advance(ms);
}

WinError SimSystem::GetLastError() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = lastError_.find(ThisThread());
  return it == lastError_.end() ? 0 : it->second;
}

void SimSystem::SetLastError(WinError error) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastError_[ThisThread()] = error;
}

std::uint32_t SimSystem::SetErrorMode(std::uint32_t mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(errorMode_, mode);
}

std::uint32_t SimSystem::GetErrorMode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return errorMode_;
}

const char16_t* SimSystem::CommandLine() {
  std::lock_guard<std::mutex> lock(mutex_);
  return commandLine_.c_str();
}

std::uint32_t SimSystem::ModuleFileName(ModuleHandle module, char16_t* buffer,
                                        std::uint32_t capacity) {
  std::u16string name;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = moduleNames_.find(module == kExecutable ? 0 : module);
    if (it != moduleNames_.end()) name = it->second;
  }
  if (WinError f = faults_.Enter(Op::ModuleFileName)) {
    SetLastError(f);
    return 0;
  }
  if (name.empty()) {
    SetLastError(err::kModNotFound);
    return 0;
  }
  if (capacity == 0 || buffer == nullptr) {
    SetLastError(err::kInsufficientBuffer);
    return 0;
  }
  auto n = static_cast<std::uint32_t>(name.size());
  if (n < capacity) {
    std::copy(name.begin(), name.end(), buffer);
    buffer[n] = 0;
    return n;
  }
  std::copy(name.begin(), name.begin() + (capacity - 1), buffer);
  buffer[capacity - 1] = 0;
  SetLastError(err::kInsufficientBuffer);
  return capacity;
}

int SimSystem::AtExit(void (*routine)()) {
  if (faults_.Enter(Op::AtExit) != 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  exitRoutines_.push_back(routine);
  return 0;
}

void SimSystem::ExitProcess(std::uint32_t code) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!exitCode_) exitCode_ = code;
    hook = processEndHook_;
  }
  if (hook) hook();
}

std::uint32_t SimSystem::ShortPathName(const char16_t* longPath, char16_t* buffer,
                                       std::uint32_t capacity) {
  if (WinError f = faults_.Enter(Op::ShortPathName)) {
    SetLastError(f);
    return 0;
  }
  if (longPath == nullptr) {
    SetLastError(err::kInvalidParameter);
    return 0;
  }
  std::u16string shortPath;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = shortPaths_.find(Folded(longPath));
    if (it != shortPaths_.end()) shortPath = it->second;
  }
  if (shortPath.empty()) {
    SetLastError(err::kFileNotFound);
    return 0;
  }
  auto n = static_cast<std::uint32_t>(shortPath.size());
  if (buffer == nullptr || capacity <= n) return n + 1;
  std::copy(shortPath.begin(), shortPath.end(), buffer);
  buffer[n] = 0;
  return n;
}

int SimSystem::AnsiToWide(const char* text, int length, char16_t* buffer, int capacity) {
  if (WinError f = faults_.Enter(Op::AnsiToWide)) {
    SetLastError(f);
    return 0;
  }
  if (text == nullptr || length == 0 || length < -1 || capacity < 0 ||
      (capacity > 0 && buffer == nullptr)) {
    SetLastError(err::kInvalidParameter);
    return 0;
  }
  int n = length == -1 ? static_cast<int>(std::strlen(text)) + 1 : length;
  if (capacity == 0) return n;
  if (capacity < n) {
    SetLastError(err::kInsufficientBuffer);
    return 0;
  }
  // The simulated ANSI code page is Latin-1: every byte widens to the code
  // unit of the same value.
  for (int i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
  return n;
}

int SimSystem::LoadString(ModuleHandle module, std::uint32_t id, char16_t* buffer, int capacity) {
  if (WinError f = faults_.Enter(Op::LoadString)) {
    SetLastError(f);
    return 0;
  }
  if (!IsExecutable(module)) {
    SetLastError(err::kResourceDataNotFound);
    return 0;
  }
  if (buffer == nullptr || capacity <= 0) return 0;
  std::u16string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = strings_.find(id);
    if (it != strings_.end()) text = it->second;
  }
  // An empty entry is no entry: the string table cannot hold empty texts.
  if (text.empty()) {
    SetLastError(err::kResourceNameNotFound);
    return 0;
  }
  int n = std::min(static_cast<int>(text.size()), capacity - 1);
  std::copy(text.begin(), text.begin() + n, buffer);
  buffer[n] = 0;
  return n;
}

// --- test side ---------------------------------------------------------

std::vector<std::uint32_t> SimSystem::Sleeps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_;
}

std::uint64_t SimSystem::TotalSleptMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t sum = 0;
  for (auto s : sleeps_) sum += s;
  return sum;
}

void SimSystem::SetCommandLine(std::u16string line) {
  std::lock_guard<std::mutex> lock(mutex_);
  commandLine_ = std::move(line);
}

void SimSystem::SetModuleFileName(std::u16string path, ModuleHandle module) {
  std::lock_guard<std::mutex> lock(mutex_);
  moduleNames_[module == kExecutable ? 0 : module] = std::move(path);
}

void SimSystem::DefineShortPath(std::u16string longPath, std::u16string shortPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  shortPaths_[Folded(longPath)] = std::move(shortPath);
}

void SimSystem::RemoveShortPath(const std::u16string& longPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  shortPaths_.erase(Folded(longPath));
}

void SimSystem::SetString(std::uint32_t id, std::u16string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  strings_[id] = std::move(text);
}

void SimSystem::RemoveString(std::uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  strings_.erase(id);
}

void SimSystem::ResetStrings() {
  std::lock_guard<std::mutex> lock(mutex_);
  strings_.clear();
  for (const auto& e : resources::kStringTable) strings_[e.id] = e.text;
}

std::size_t SimSystem::ExitRoutineCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitRoutines_.size();
}

void SimSystem::RunExitRoutines() {
  for (;;) {
    void (*routine)() = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (exitRoutines_.empty()) return;
      routine = exitRoutines_.back();
      exitRoutines_.pop_back();
    }
    if (routine) routine();
  }
}

std::optional<std::uint32_t> SimSystem::ExitCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitCode_;
}

void SimSystem::SetProcessEndHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  processEndHook_ = std::move(hook);
}

}  // namespace talv::sim
