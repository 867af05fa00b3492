#include "platform/sim/sim_typelib.h"

#include <atomic>

#include "platform/sim/text.h"

namespace talv::sim {

namespace {

// The simulator the "oleaut32.dll" export acts on: a plain function
// pointer carries no object, so the most recently made one answers.
std::atomic<SimTypeLibraries*> g_active{nullptr};

std::u16string Hex(std::uint32_t v, int digits, bool upper) {
  const char* d = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string out;
  do {
    out.insert(out.begin(), static_cast<char16_t>(d[v & 0xF]));
    v >>= 4;
  } while (v != 0 || static_cast<int>(out.size()) < digits);
  return out;
}

std::u16string Decimal(std::uint32_t v) {
  std::u16string out;
  do {
    out.insert(out.begin(), static_cast<char16_t>(u'0' + v % 10));
    v /= 10;
  } while (v != 0);
  return out;
}

const char16_t* SysKindName(std::int32_t syskind) {
  switch (syskind) {
    case tlb::kSysWin16:
      return u"win16";
    case tlb::kSysWin32:
      return u"win32";
    case tlb::kSysMac:
      return u"mac";
    default:
      return u"win64";
  }
}

// "\N" at the end of a path: the index N, and the path before it.
bool SplitIndex(std::u16string_view path, std::u16string_view* file, std::uint16_t* index) {
  auto cut = path.find_last_of(u'\\');
  if (cut == std::u16string_view::npos || cut + 1 == path.size()) return false;
  std::uint32_t n = 0;
  for (char16_t c : path.substr(cut + 1)) {
    if (c < u'0' || c > u'9') return false;
    n = n * 10 + static_cast<std::uint32_t>(c - u'0');
    if (n > 0xFFFF) return false;
  }
  *file = path.substr(0, cut);
  *index = static_cast<std::uint16_t>(n);
  return true;
}

WinError SetText(Registry& r, RegKey key, const std::u16string& text) {
  return r.SetValue(key, nullptr, reg::kSz, text.c_str(),
                    static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t)));
}

}  // namespace

SimTypeLibraries::SimTypeLibraries(SimRegistry& registry, SimLibraries* libraries)
    : registry_(registry), libraries_(libraries) {
  if (libraries_) {
    libraries_->DefineLibrary(
        tlb::kOleAutomationLibrary,
        {{tlb::kUnRegisterTypeLibExport, reinterpret_cast<ProcAddress>(&UnRegisterTypeLibExport)}});
  }
  g_active = this;
}

SimTypeLibraries::~SimTypeLibraries() {
  SimTypeLibraries* self = this;
  g_active.compare_exchange_strong(self, nullptr);
}

std::u16string SimTypeLibraries::GuidText(const Guid& g) {
  std::u16string s = u"{" + Hex(g.data1, 8, true) + u"-" + Hex(g.data2, 4, true) + u"-" +
                     Hex(g.data3, 4, true) + u"-";
  for (int i = 0; i < 8; ++i) {
    if (i == 2) s += u"-";
    s += Hex(g.data4[i], 2, true);
  }
  return s + u"}";
}

std::u16string SimTypeLibraries::VersionKey(const Guid& libid, std::uint16_t major,
                                            std::uint16_t minor) {
  return u"TypeLib\\" + GuidText(libid) + u"\\" + Hex(major, 1, false) + u"." +
         Hex(minor, 1, false);
}

const SimTypeLibraries::Declaration* SimTypeLibraries::FindLocked(std::u16string_view path) const {
  auto whole = files_.find(Folded(path));
  if (whole != files_.end()) {
    const File& f = whole->second;
    auto it = f.libraries.find(f.isModule ? 1 : 0);
    return it == f.libraries.end() ? nullptr : &it->second;
  }
  std::u16string_view file;
  std::uint16_t index = 0;
  if (!SplitIndex(path, &file, &index)) return nullptr;
  auto it = files_.find(Folded(file));
  if (it == files_.end()) return nullptr;
  const File& f = it->second;
  // A type-library file loads whatever index is appended, as under Wine.
  auto lib = f.libraries.find(f.isModule ? index : 0);
  return lib == f.libraries.end() ? nullptr : &lib->second;
}

HResult SimTypeLibraries::LoadTypeLib(const char16_t* path, TypeLibHandle* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadCalls_.push_back(FromNullable(path));
  if (HResult f = faults_.Enter(Op::Load)) return f;
  if (out == nullptr) return hr::kInvalidArg;
  const Declaration* d = path ? FindLocked(path) : nullptr;
  if (d == nullptr) return tlb::kCantLoadLibrary;
  TypeLibHandle h = nextHandle_;
  nextHandle_ += 0x10;
  loaded_[h] = Loaded{*d, 1};
  *out = h;
  return hr::kOk;
}

HResult SimTypeLibraries::GetLibAttr(TypeLibHandle lib, const TypeLibAttributes** out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HResult f = faults_.Enter(Op::GetLibAttr)) return f;
  auto it = loaded_.find(lib);
  if (it == loaded_.end() || out == nullptr) return hr::kInvalidArg;
  auto copy = std::make_unique<TypeLibAttributes>(it->second.declaration.attributes);
  *out = copy.get();
  attributes_[copy.get()] = std::move(copy);
  return hr::kOk;
}

void SimTypeLibraries::ReleaseTLibAttr(TypeLibHandle, const TypeLibAttributes* attributes) {
  std::lock_guard<std::mutex> lock(mutex_);
  attributes_.erase(attributes);
}

HResult SimTypeLibraries::GetDocumentation(TypeLibHandle lib, std::int32_t index,
                                           std::u16string* name, std::u16string* helpString) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (HResult f = faults_.Enter(Op::GetDocumentation)) return f;
  auto it = loaded_.find(lib);
  if (it == loaded_.end()) return hr::kInvalidArg;
  // The simulated libraries declare no types: only the library itself (-1).
  if (index != -1) return tlb::kElementNotFound;
  if (name) *name = it->second.declaration.name;
  if (helpString) *helpString = it->second.declaration.helpString;
  return hr::kOk;
}

HResult SimTypeLibraries::WriteRegistration(const Declaration& d, const char16_t* path,
                                            const char16_t* helpDir) {
  const TypeLibAttributes& a = d.attributes;
  const std::u16string version = VersionKey(a.libid, a.majorVersion, a.minorVersion);
  std::u16string dir;
  if (helpDir) {
    dir = helpDir;
  } else {
    // Without a help directory the path's directory is written, without its
    // separator.
    std::u16string p(path);
    auto cut = p.find_last_of(u"\\/");
    if (cut != std::u16string::npos) dir = p.substr(0, cut);
  }
  struct Entry {
    std::u16string key;
    std::u16string text;
    bool write;
  };
  const Entry entries[] = {
      {version, d.helpString, !d.helpString.empty()},
      {version + u"\\" + Hex(a.lcid, 1, false) + u"\\" + SysKindName(a.syskind), path, true},
      {version + u"\\FLAGS", Decimal(a.flags), true},
      {version + u"\\HELPDIR", dir, true},
  };
  for (const Entry& e : entries) {
    UniqueKey key;
    if (Create(key, registry_, reg::kClassesRoot, e.key.c_str(), reg::kWrite) != err::kSuccess)
      return tlb::kRegistryAccess;
    if (e.write && SetText(registry_, key.get(), e.text) != err::kSuccess)
      return tlb::kRegistryAccess;
  }
  return hr::kOk;
}

HResult SimTypeLibraries::RegisterTypeLib(TypeLibHandle lib, const char16_t* path,
                                          const char16_t* helpDir) {
  std::unique_lock<std::mutex> lock(mutex_);
  RegisterCall call;
  call.path = FromNullable(path);
  call.helpDir = FromNullable(helpDir);
  call.helpDirGiven = helpDir != nullptr;
  HResult r = faults_.Enter(Op::Register);
  auto it = loaded_.find(lib);
  if (it != loaded_.end()) call.libid = it->second.declaration.attributes.libid;
  if (r == 0 && (it == loaded_.end() || path == nullptr)) r = hr::kInvalidArg;
  if (r == 0) {
    Declaration d = it->second.declaration;
    lock.unlock();
    r = WriteRegistration(d, path, helpDir);
    lock.lock();
  }
  call.result = r;
  registerCalls_.push_back(call);
  return r;
}

std::uint32_t SimTypeLibraries::Release(TypeLibHandle lib) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = loaded_.find(lib);
  if (it == loaded_.end()) return 0;
  std::uint32_t left = --it->second.references;
  if (left == 0) loaded_.erase(it);
  return left;
}

std::vector<std::u16string> SimTypeLibraries::SubKeys(const std::u16string& path,
                                                      WinError* error) {
  std::vector<std::u16string> names;
  UniqueKey key;
  *error = Open(key, registry_, reg::kClassesRoot, path.c_str(), reg::kRead);
  if (*error != err::kSuccess) return names;
  for (std::uint32_t i = 0;; ++i) {
    char16_t name[256];
    std::uint32_t len = 256;
    WinError e = registry_.EnumKey(key.get(), i, name, &len);
    if (e == err::kNoMoreItems) break;
    if (e != err::kSuccess) {
      *error = e;
      break;
    }
    names.emplace_back(name, len);
  }
  return names;
}

HResult SimTypeLibraries::UnRegisterTypeLib(const Guid& libid, std::uint16_t major,
                                            std::uint16_t minor, std::uint32_t lcid,
                                            std::int32_t syskind) {
  UnregisterCall call{libid, major, minor, lcid, syskind, 0};
  HResult r = faults_.Enter(Op::Unregister);
  const std::u16string library = u"TypeLib\\" + GuidText(libid);
  const std::u16string version = VersionKey(libid, major, minor);
  const std::u16string locale = version + u"\\" + Hex(lcid, 1, false);
  const std::u16string system = locale + u"\\" + SysKindName(syskind);
  if (r == 0) {
    UniqueKey probe;
    if (Open(probe, registry_, reg::kClassesRoot, system.c_str(), reg::kRead) != err::kSuccess)
      r = hr::kInvalidArg;  // what Wine answers for a registration it does not find
  }
  if (r == 0 && registry_.DeleteKey(reg::kClassesRoot, system.c_str()) != err::kSuccess)
    r = tlb::kRegistryAccess;
  WinError e = err::kSuccess;
  if (r == 0 && SubKeys(locale, &e).empty() && e == err::kSuccess)
    registry_.DeleteKey(reg::kClassesRoot, locale.c_str());
  if (r == 0) {
    bool others = false;
    for (const std::u16string& k : SubKeys(version, &e)) {
      std::u16string f = Folded(k);
      if (f != u"flags" && f != u"helpdir") others = true;
    }
    if (!others && e == err::kSuccess) {
      registry_.DeleteKey(reg::kClassesRoot, (version + u"\\FLAGS").c_str());
      registry_.DeleteKey(reg::kClassesRoot, (version + u"\\HELPDIR").c_str());
      registry_.DeleteKey(reg::kClassesRoot, version.c_str());
    }
    if (SubKeys(library, &e).empty() && e == err::kSuccess)
      registry_.DeleteKey(reg::kClassesRoot, library.c_str());
  }
  call.result = r;
  std::lock_guard<std::mutex> lock(mutex_);
  unregisterCalls_.push_back(call);
  return r;
}

HResult TALV_WINAPI SimTypeLibraries::UnRegisterTypeLibExport(const Guid& libid,
                                                              std::uint16_t major,
                                                              std::uint16_t minor,
                                                              std::uint32_t lcid,
                                                              std::int32_t syskind) {
  SimTypeLibraries* self = g_active;
  if (self == nullptr) return hr::kInvalidArg;
  return self->UnRegisterTypeLib(libid, major, minor, lcid, syskind);
}

// --- test side ---------------------------------------------------------

void SimTypeLibraries::AddModuleTypeLibrary(std::u16string_view path, Declaration declaration,
                                            std::uint16_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  File& f = files_[Folded(path)];
  f.isModule = true;
  f.libraries.erase(0);
  f.libraries[index] = std::move(declaration);
}

void SimTypeLibraries::AddTypeLibraryFile(std::u16string_view path, Declaration declaration) {
  std::lock_guard<std::mutex> lock(mutex_);
  File& f = files_[Folded(path)];
  f.isModule = false;
  f.libraries.clear();
  f.libraries[0] = std::move(declaration);
}

void SimTypeLibraries::RemoveFile(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_.erase(Folded(path));
}

std::size_t SimTypeLibraries::OpenLibraryCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& [h, l] : loaded_) n += l.references;
  return n;
}

std::size_t SimTypeLibraries::OpenAttributeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return attributes_.size();
}

std::vector<std::u16string> SimTypeLibraries::LoadCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loadCalls_;
}

std::vector<SimTypeLibraries::RegisterCall> SimTypeLibraries::RegisterCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registerCalls_;
}

std::vector<SimTypeLibraries::UnregisterCall> SimTypeLibraries::UnregisterCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unregisterCalls_;
}

}  // namespace talv::sim
