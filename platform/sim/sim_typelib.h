// The simulated automation type libraries: tests say which module files
// carry a type library (as "TYPELIB" resource 1, or another index) and
// which ".tlb" files exist, with the identity each declares. Loading hands
// out counted references; registration writes under HKEY_CLASSES_ROOT of
// the simulated registry what Wine writes (TypeLib\{LIBID}\maj.min with the
// help string, lcid\win64 or win32 with the path, FLAGS, HELPDIR), and the
// UnRegisterTypeLib export of the simulated "oleaut32.dll" takes it away
// again as Wine does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/faults.h"
#include "platform/sim/sim_libraries.h"
#include "platform/sim/sim_registry.h"
#include "platform/typelib.h"

namespace talv::sim {

class SimTypeLibraries final : public TypeLibraries {
 public:
  enum class Op { Load, GetLibAttr, GetDocumentation, Register, Unregister };

  // What a type library says about itself.
  struct Declaration {
    TypeLibAttributes attributes;
    std::u16string name;
    std::u16string helpString;
  };

  // Registrations go into `registry` through its port (its faults and key
  // count apply). With `libraries`, "oleaut32.dll" is defined there with an
  // UnRegisterTypeLib export that acts on the most recently made simulator.
  explicit SimTypeLibraries(SimRegistry& registry, SimLibraries* libraries = nullptr);
  ~SimTypeLibraries() override;
  SimTypeLibraries(const SimTypeLibraries&) = delete;
  SimTypeLibraries& operator=(const SimTypeLibraries&) = delete;

  HResult LoadTypeLib(const char16_t* path, TypeLibHandle* out) override;
  HResult GetLibAttr(TypeLibHandle lib, const TypeLibAttributes** out) override;
  void ReleaseTLibAttr(TypeLibHandle lib, const TypeLibAttributes* attributes) override;
  HResult GetDocumentation(TypeLibHandle lib, std::int32_t index, std::u16string* name,
                           std::u16string* helpString) override;
  HResult RegisterTypeLib(TypeLibHandle lib, const char16_t* path,
                          const char16_t* helpDir) override;
  std::uint32_t Release(TypeLibHandle lib) override;

  // UnRegisterTypeLib as Wine does it: E_INVALIDARG when
  // {LIBID}\maj.min\lcid\syskind is not registered; otherwise that key goes,
  // then each parent left without subkeys (FLAGS and HELPDIR do not count
  // for the version key), up to and including {LIBID}.
  HResult UnRegisterTypeLib(const Guid& libid, std::uint16_t major, std::uint16_t minor,
                            std::uint32_t lcid, std::int32_t syskind);
  // The export of the simulated "oleaut32.dll".
  static HResult TALV_WINAPI UnRegisterTypeLibExport(const Guid& libid, std::uint16_t major,
                                                     std::uint16_t minor, std::uint32_t lcid,
                                                     std::int32_t syskind);

  // --- test side -------------------------------------------------------
  // Faults are COM statuses here (a FaultPlan carries any 32-bit value).
  FaultPlan<Op>& faults() { return faults_; }
  // The module file at `path` (compared without regard to case) carries
  // `declaration` as its TYPELIB resource `index`; the path alone loads
  // index 1, the path with "\N" appended loads index N.
  void AddModuleTypeLibrary(std::u16string_view path, Declaration declaration,
                            std::uint16_t index = 1);
  // A type-library file at `path`; with "\N" appended it loads as well.
  void AddTypeLibraryFile(std::u16string_view path, Declaration declaration);
  // The file (module or type library) at `path` is gone.
  void RemoveFile(std::u16string_view path);
  // References to loaded type libraries not yet released, and attribute
  // records not yet released.
  std::size_t OpenLibraryCount() const;
  std::size_t OpenAttributeCount() const;
  // Every path LoadTypeLib was given, in order (failed loads included).
  std::vector<std::u16string> LoadCalls() const;
  struct RegisterCall {
    Guid libid;
    std::u16string path;
    std::u16string helpDir;
    bool helpDirGiven = false;
    HResult result = 0;
  };
  std::vector<RegisterCall> RegisterCalls() const;
  struct UnregisterCall {
    Guid libid;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint32_t lcid = 0;
    std::int32_t syskind = 0;
    HResult result = 0;
  };
  std::vector<UnregisterCall> UnregisterCalls() const;
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", the form registry keys use.
  static std::u16string GuidText(const Guid& g);
  // The key of a library's version: TypeLib\{LIBID}\maj.min (hex numbers).
  static std::u16string VersionKey(const Guid& libid, std::uint16_t major, std::uint16_t minor);

 private:
  struct File {
    bool isModule = false;
    std::map<std::uint16_t, Declaration> libraries;  // by resource index; 0 for a .tlb file
  };
  struct Loaded {
    Declaration declaration;
    std::uint32_t references = 0;
  };

  const Declaration* FindLocked(std::u16string_view path) const;
  HResult WriteRegistration(const Declaration& d, const char16_t* path, const char16_t* helpDir);
  std::vector<std::u16string> SubKeys(const std::u16string& path, WinError* error);

  SimRegistry& registry_;
  SimLibraries* libraries_;
  mutable std::mutex mutex_;
  std::map<std::u16string, File> files_;  // by folded path
  std::map<TypeLibHandle, Loaded> loaded_;
  std::map<const TypeLibAttributes*, std::unique_ptr<TypeLibAttributes>> attributes_;
  TypeLibHandle nextHandle_ = 0x7100000;
  std::vector<std::u16string> loadCalls_;
  std::vector<RegisterCall> registerCalls_;
  std::vector<UnregisterCall> unregisterCalls_;
  FaultPlan<Op> faults_;
};

}  // namespace talv::sim
