#include "platform/sim/sim_libraries.h"

#include "platform/sim/sim_system.h"
#include "platform/sim/text.h"

namespace talv::sim {

SimLibraries::SimLibraries(SimSystem* system) : system_(system) {}

SimLibraries::~SimLibraries() = default;

std::u16string SimLibraries::Key(std::u16string_view name) {
  auto slash = name.find_last_of(u"\\/");
  std::u16string file(slash == std::u16string_view::npos ? name : name.substr(slash + 1));
  if (file.find(u'.') == std::u16string::npos) file += u".dll";
  return Folded(file);
}

SimLibraries::Library* SimLibraries::ByHandleLocked(ModuleHandle module) {
  for (auto& [key, lib] : libraries_)
    if (lib.handle == module && lib.references > 0) return &lib;
  return nullptr;
}

void SimLibraries::Fail(WinError error) {
  if (system_) system_->SetLastError(error);
}

WinError SimLibraries::Load(const char16_t* name, ModuleHandle* out) {
  WinError result = err::kSuccess;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loadCalls_.push_back(FromNullable(name));
    if (WinError f = faults_.Enter(Op::Load)) {
      result = f;
    } else if (name == nullptr || *name == 0) {
      result = err::kInvalidParameter;
    } else {
      auto it = libraries_.find(Key(name));
      if (it == libraries_.end() || !it->second.defined) {
        result = err::kModNotFound;
      } else {
        ++it->second.references;
        if (out) *out = it->second.handle;
      }
    }
  }
  if (result != err::kSuccess) Fail(result);
  return result;
}

ProcAddress SimLibraries::GetProc(ModuleHandle module, const char* name) {
  WinError result = err::kSuccess;
  ProcAddress address = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (WinError f = faults_.Enter(Op::GetProc)) {
      result = f;
    } else if (Library* lib = ByHandleLocked(module); lib == nullptr) {
      result = err::kModNotFound;
    } else if (auto e = name ? lib->exports.find(name) : lib->exports.end();
               e == lib->exports.end() || e->second == nullptr) {
      result = err::kProcNotFound;
    } else {
      address = e->second;
    }
  }
  if (result != err::kSuccess) Fail(result);
  return address;
}

WinError SimLibraries::Free(ModuleHandle module) {
  WinError result = err::kSuccess;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (WinError f = faults_.Enter(Op::Free)) {
      result = f;
    } else if (Library* lib = ByHandleLocked(module); lib == nullptr) {
      result = err::kModNotFound;
    } else {
      --lib->references;
    }
  }
  if (result != err::kSuccess) Fail(result);
  return result;
}

// --- test side ---------------------------------------------------------

void SimLibraries::DefineLibrary(const std::u16string& name,
                                 std::map<std::string, ProcAddress> exports) {
  std::lock_guard<std::mutex> lock(mutex_);
  Library& lib = libraries_[Key(name)];
  if (lib.handle == 0) {
    lib.handle = nextHandle_;
    nextHandle_ += 0x100000;
  }
  lib.defined = true;
  lib.exports = std::move(exports);
}

void SimLibraries::DefineExport(const std::u16string& library, const std::string& name,
                                ProcAddress address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = libraries_.find(Key(library));
  if (it != libraries_.end()) it->second.exports[name] = address;
}

void SimLibraries::RemoveExport(const std::u16string& library, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = libraries_.find(Key(library));
  if (it != libraries_.end()) it->second.exports.erase(name);
}

void SimLibraries::RemoveLibrary(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = libraries_.find(Key(name));
  if (it != libraries_.end()) it->second.defined = false;
}

std::size_t SimLibraries::LoadedReferenceCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& [key, lib] : libraries_) n += lib.references;
  return n;
}

std::size_t SimLibraries::ReferenceCount(const std::u16string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = libraries_.find(Key(name));
  return it == libraries_.end() ? 0 : it->second.references;
}

std::vector<std::u16string> SimLibraries::LoadCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loadCalls_;
}

std::size_t SimLibraries::LoadCallCount(const std::u16string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::u16string key = Key(name);
  std::size_t n = 0;
  for (const auto& c : loadCalls_)
    if (!c.empty() && Key(c) == key) ++n;
  return n;
}

ModuleHandle SimLibraries::HandleOf(const std::u16string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = libraries_.find(Key(name));
  return it == libraries_.end() || !it->second.defined ? 0 : it->second.handle;
}

}  // namespace talv::sim
