#include "registration/type_library.h"

namespace talv {

namespace {

// Whether the walk over the class table handles `e`: only the named class
// when one is given; otherwise every class that has no description (those
// with one are registered by whoever describes them).
bool Handled(const ClassTableEntry& e, const Guid* clsid) {
  if (clsid != nullptr) return *e.clsid == *clsid;
  return e.getDescription == nullptr || e.getDescription() == nullptr;
}

std::uint32_t Length(const char16_t* s) {
  std::uint32_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

}  // namespace

HResult RegisterModuleClasses(const TypeLibraryPorts& ports, CServerModule& module,
                              bool registerTypeLib, const Guid* clsid) {
  for (ClassTableEntry* e = module.classTable; e != nullptr && e->clsid != nullptr; ++e) {
    if (!Handled(*e, clsid)) continue;
    if (e->updateRegistry != nullptr) {
      HResult r = e->updateRegistry(true);
      if (com::Failed(r)) return r;
    }
    const CategoryMapEntry* categories = e->getCategoryMap ? e->getCategoryMap() : nullptr;
    HResult r = RegisterClassCategories(ports.com, *e->clsid, categories, true);
    if (com::Failed(r)) return r;
  }
  if (registerTypeLib) return RegisterTypeLibrary(ports, module, nullptr);
  return hr::kOk;
}

HResult UnregisterModuleClasses(const TypeLibraryPorts& ports, CServerModule& module,
                                bool unregisterTypeLib, const Guid* clsid) {
  for (ClassTableEntry* e = module.classTable; e != nullptr && e->clsid != nullptr; ++e) {
    if (!Handled(*e, clsid)) continue;
    if (e->updateRegistry != nullptr) e->updateRegistry(false);
    if (e->getCategoryMap != nullptr)
      RegisterClassCategories(ports.com, *e->clsid, e->getCategoryMap(), false);
  }
  if (unregisterTypeLib) UnregisterTypeLibrary(ports, module, nullptr);
  return hr::kOk;
}

HResult RegisterClassCategories(Com& com, const Guid& clsid, const CategoryMapEntry* categories,
                                bool doRegister) {
  if (categories == nullptr) return hr::kOk;
  CategoryRegistrar* created = nullptr;
  // Without the manager the categories are silently left unregistered.
  if (com::Failed(com.CoCreateCategoryRegistrar(com::kClsidStdComponentCategoriesMgr,
                                                com::kInprocServer, &created)) ||
      created == nullptr)
    return hr::kOk;
  UniqueCategoryRegistrar owner(*created, created);
  CategoryRegistrar* manager = owner.get();
  for (const CategoryMapEntry* c = categories; c->kind != 0; ++c) {
    const bool implemented = c->kind == 1;
    if (doRegister) {
      HResult r = implemented ? manager->RegisterClassImplCategories(clsid, c->category)
                              : manager->RegisterClassReqCategories(clsid, c->category);
      if (com::Failed(r)) return r;
    } else if (implemented) {
      manager->UnRegisterClassImplCategories(clsid, c->category);
    } else {
      manager->UnRegisterClassReqCategories(clsid, c->category);
    }
  }
  return hr::kOk;
}

HResult LoadModuleTypeLibrary(const TypeLibraryPorts& ports, CServerModule& module,
                              const char16_t* index, std::u16string* path, TypeLibHandle* lib) {
  char16_t buffer[kTypeLibPathUnits] = {};
  std::uint32_t n =
      ports.system.ModuleFileName(module.typeLibInstance, buffer, kModuleFileNameUnits);
  if (n == 0) {
    WinError e = ports.system.GetLastError();
    return e != err::kSuccess ? HResultFromWin32(e) : hr::kFail;
  }
  // A name the call had to cut is not the module's path.
  if (n >= kModuleFileNameUnits) return kTypeLibPathTooLong;
  if (index != nullptr) {
    std::uint32_t extra = Length(index);
    if (n + extra >= kTypeLibPathUnits) return kTypeLibPathTooLong;
    for (std::uint32_t i = 0; i <= extra; ++i) buffer[n + i] = index[i];
    n += extra;
  }

  UniqueTypeLib loaded;
  HResult r = LoadTypeLib(loaded, ports.typeLibraries, buffer);
  if (com::Failed(r)) {
    // Everything from the last "." on, wherever it lies, becomes ".tlb";
    // without a "." the extension is appended.
    std::uint32_t dot = n;
    for (std::uint32_t i = n; i > 0; --i) {
      if (buffer[i - 1] == u'.') {
        dot = i - 1;
        break;
      }
    }
    constexpr char16_t kExtension[] = u".tlb";
    if (dot + 4 >= kTypeLibPathUnits) return kTypeLibPathTooLong;
    for (std::uint32_t i = 0; i < 5; ++i) buffer[dot + i] = kExtension[i];
    r = LoadTypeLib(loaded, ports.typeLibraries, buffer);
    if (com::Failed(r)) return r;
  }
  if (path != nullptr) path->assign(buffer);
  if (lib != nullptr) *lib = loaded.release();
  return r;
}

HResult RegisterTypeLibrary(const TypeLibraryPorts& ports, CServerModule& module,
                            const char16_t* index) {
  std::u16string path;
  TypeLibHandle loaded = 0;
  HResult r = LoadModuleTypeLibrary(ports, module, index, &path, &loaded);
  if (com::Failed(r)) return r;
  UniqueTypeLib lib(ports.typeLibraries, loaded);
  // The help directory keeps its separator: "C:\dir\" for "C:\dir\x.exe".
  std::u16string helpDir = path;
  auto cut = helpDir.find_last_of(u"\\/:");
  if (cut != std::u16string::npos) helpDir.resize(cut + 1);
  return ports.typeLibraries.RegisterTypeLib(lib.get(), path.c_str(), helpDir.c_str());
}

HResult UnregisterTypeLibrary(const TypeLibraryPorts& ports, CServerModule& module,
                              const char16_t* index) {
  std::u16string path;
  TypeLibHandle held = 0;
  HResult loaded = LoadModuleTypeLibrary(ports, module, index, &path, &held);
  if (com::Failed(loaded)) return loaded;
  UniqueTypeLib lib(ports.typeLibraries, held);
  UniqueTypeLibAttr attributes;
  if (com::Succeeded(GetLibAttr(attributes, lib)) && attributes) {
    // Bound at run time: a system without it keeps the registration.
    UniqueLibrary oleaut;
    if (Load(oleaut, ports.libraries, tlb::kOleAutomationLibrary) == err::kSuccess) {
      auto unregister = reinterpret_cast<UnRegisterTypeLibFn>(
          ports.libraries.GetProc(oleaut.get(), tlb::kUnRegisterTypeLibExport));
      if (unregister != nullptr) {
        const TypeLibAttributes& a = *attributes.get();
        unregister(a.libid, a.majorVersion, a.minorVersion, a.lcid, a.syskind);
      }
    }
  }
  return loaded;
}

}  // namespace talv
