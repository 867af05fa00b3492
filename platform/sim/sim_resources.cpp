#include "platform/sim/sim_resources.h"

#include "platform/sim/text.h"

namespace talv::sim {

ModuleHandle SimResources::ProcessModule() {
  std::lock_guard<std::mutex> lock(mutex_);
  return processModule_;
}

WinError SimResources::LoadAsData(const char16_t* path, ModuleHandle* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (out) *out = 0;
  if (WinError f = faults_.Enter(Op::Load)) return f;
  std::u16string p = FromNullable(path);
  if (p.empty()) return err::kInvalidParameter;
  auto it = files_.find(Folded(p));
  if (it == files_.end()) return err::kFileNotFound;
  if (!it->second.isModule) return 193;  // ERROR_BAD_EXE_FORMAT
  ModuleHandle h = nextHandle_;
  nextHandle_ += 0x10000;
  loaded_[h] = it->first;
  ++loadCalls_;
  lastLoaded_ = p;
  if (out) *out = h;
  return err::kSuccess;
}

WinError SimResources::FindResource(ModuleHandle module, const char16_t* type, std::uint16_t id,
                                    const void** data, std::uint32_t* size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (data) *data = nullptr;
  if (size) *size = 0;
  if (WinError f = faults_.Enter(Op::Find)) return f;
  auto m = loaded_.find(module);
  if (m == loaded_.end()) return err::kResourceDataNotFound;
  const File& file = files_.at(m->second);
  std::u16string t = Folded(FromNullable(type));
  bool typeSeen = false;
  for (const Resource& r : file.resources) {
    if (r.foldedType != t) continue;
    typeSeen = true;
    if (r.id != id) continue;
    // Like a mapped image, an empty resource still has an address.
    static const std::uint8_t kEmpty = 0;
    if (data) *data = r.bytes.empty() ? &kEmpty : r.bytes.data();
    if (size) *size = static_cast<std::uint32_t>(r.bytes.size());
    return err::kSuccess;
  }
  return typeSeen ? err::kResourceNameNotFound : err::kResourceTypeNotFound;
}

WinError SimResources::Free(ModuleHandle module) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (WinError f = faults_.Enter(Op::Free)) return f;
  if (loaded_.erase(module) == 0) return err::kInvalidHandle;
  return err::kSuccess;
}

void SimResources::AddModule(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[Folded(path)].isModule = true;
}

void SimResources::AddResource(std::u16string_view path, std::u16string_view type, std::uint16_t id,
                               const void* bytes, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  File& file = files_[Folded(path)];
  file.isModule = true;
  const auto* b = static_cast<const std::uint8_t*>(bytes);
  std::u16string t = Folded(type);
  for (Resource& r : file.resources) {
    if (r.foldedType == t && r.id == id) {
      r.bytes.assign(b, b + size);
      return;
    }
  }
  file.resources.push_back({t, id, std::vector<std::uint8_t>(b, b + size)});
}

void SimResources::AddPlainFile(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[Folded(path)].isModule = false;
}

void SimResources::SetProcessModule(ModuleHandle module) {
  std::lock_guard<std::mutex> lock(mutex_);
  processModule_ = module;
}

std::size_t SimResources::LoadedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loaded_.size();
}

std::size_t SimResources::LoadCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loadCalls_;
}

std::u16string SimResources::LastLoadedPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastLoaded_;
}

}  // namespace talv::sim
