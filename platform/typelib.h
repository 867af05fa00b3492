// The automation type-library port: loading a type library from a file (a
// module carrying "TYPELIB" resources, or a ".tlb" file), reading its
// attributes and documentation, and registering it. Removing a registration
// is not part of the port: UnRegisterTypeLib is looked up in "oleaut32.dll"
// at run time through the library port and called through
// UnRegisterTypeLibFn. Results are COM statuses as the platform gives them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com.h"
#include "platform/owner.h"
#include "platform/types.h"

namespace talv {

// A loaded type library (an ITypeLib reference); 0 is none.
using TypeLibHandle = Handle;

// A type library's identity, laid out as the platform's TLIBATTR so the
// runtime's own record is handed out unchanged.
struct TypeLibAttributes {
  Guid libid;
  std::uint32_t lcid = 0;
  std::int32_t syskind = 0;
  std::uint16_t majorVersion = 0;
  std::uint16_t minorVersion = 0;
  std::uint16_t flags = 0;
};

namespace tlb {
// SYSKIND values.
inline constexpr std::int32_t kSysWin16 = 0;
inline constexpr std::int32_t kSysWin32 = 1;
inline constexpr std::int32_t kSysMac = 2;
inline constexpr std::int32_t kSysWin64 = 3;

// LIBFLAGS bits.
inline constexpr std::uint16_t kFlagRestricted = 0x1;
inline constexpr std::uint16_t kFlagControl = 0x2;
inline constexpr std::uint16_t kFlagHidden = 0x4;
inline constexpr std::uint16_t kFlagHasDiskImage = 0x8;

// Statuses the automation functions answer with.
inline constexpr HResult kCantLoadLibrary = 0x80029C4Au;   // TYPE_E_CANTLOADLIBRARY
inline constexpr HResult kRegistryAccess = 0x8002801Cu;    // TYPE_E_REGISTRYACCESS
inline constexpr HResult kLibNotRegistered = 0x8002801Du;  // TYPE_E_LIBNOTREGISTERED
inline constexpr HResult kElementNotFound = 0x8002802Bu;   // TYPE_E_ELEMENTNOTFOUND

// The library and export that remove a registration.
inline constexpr const char16_t* kOleAutomationLibrary = u"oleaut32.dll";
inline constexpr const char* kUnRegisterTypeLibExport = "UnRegisterTypeLib";
// The export that converts a registry script's number text.
inline constexpr const char* kVarUI4FromStrExport = "VarUI4FromStr";
}  // namespace tlb

// UnRegisterTypeLib(library identifier, major, minor, locale, system kind).
using UnRegisterTypeLibFn = HResult(TALV_WINAPI*)(const Guid& libid, std::uint16_t major,
                                                  std::uint16_t minor, std::uint32_t lcid,
                                                  std::int32_t syskind);

// VarUI4FromStr(text, locale, flags, out): S_OK with *out, or a failure status.
using VarUI4FromStrFn = HResult(TALV_WINAPI*)(const char16_t* text, std::uint32_t lcid,
                                              std::uint32_t flags, std::uint32_t* out);

class TypeLibraries {
 public:
  virtual ~TypeLibraries() = default;
  // LoadTypeLib(path): a module's "TYPELIB" resource 1 (or the one named by
  // an appended "\N"), or a type-library file. *out only on success; a
  // missing or unreadable file answers TYPE_E_CANTLOADLIBRARY.
  [[nodiscard]] virtual HResult LoadTypeLib(const char16_t* path, TypeLibHandle* out) = 0;
  // ITypeLib::GetLibAttr: *out is the library's record until ReleaseTLibAttr.
  [[nodiscard]] virtual HResult GetLibAttr(TypeLibHandle lib, const TypeLibAttributes** out) = 0;
  // ITypeLib::ReleaseTLibAttr for a record GetLibAttr gave.
  virtual void ReleaseTLibAttr(TypeLibHandle lib, const TypeLibAttributes* attributes) = 0;
  // ITypeLib::GetDocumentation(index, name, help string): index -1 is the
  // library itself; the texts are copied out (empty where there is none).
  [[nodiscard]] virtual HResult GetDocumentation(TypeLibHandle lib, std::int32_t index, std::u16string* name,
                                   std::u16string* helpString) = 0;
  // RegisterTypeLib(lib, path, helpDir): writes TypeLib\{LIBID}\maj.min
  // (help string), its lcid\win32|win64 (path), FLAGS and HELPDIR (helpDir,
  // or the path's directory when null) under HKEY_CLASSES_ROOT. A null path
  // is E_INVALIDARG.
  [[nodiscard]] virtual HResult RegisterTypeLib(TypeLibHandle lib, const char16_t* path,
                                  const char16_t* helpDir) = 0;
  // ITypeLib::Release: the references left.
  virtual std::uint32_t Release(TypeLibHandle lib) = 0;
};

// A loaded type library, released on every path out of a scope.
using UniqueTypeLib = Owner<ClosedBy<&TypeLibraries::Release>>;

// The attributes record of a library that a UniqueTypeLib holds (the record
// is handed back to that library, so the library's owner must outlive it).
struct TypeLibAttrTraits {
  using Port = UniqueTypeLib;
  using Value = const TypeLibAttributes*;
  static constexpr const TypeLibAttributes* kNone = nullptr;
  static void Close(UniqueTypeLib& lib, const TypeLibAttributes* attributes) {
    lib.port()->ReleaseTLibAttr(lib.get(), attributes);
  }
};
using UniqueTypeLibAttr = Owner<TypeLibAttrTraits>;

// LoadTypeLib into `lib`, keeping the old library on failure.
[[nodiscard]] inline HResult LoadTypeLib(UniqueTypeLib& lib, TypeLibraries& libs, const char16_t* path) {
  return OpenInto(lib, libs, [&](TypeLibHandle* out) { return libs.LoadTypeLib(path, out); });
}
// GetLibAttr of the library `lib` holds, into `attributes`; a failure, or a
// success with no record, leaves `attributes` as it was.
[[nodiscard]] inline HResult GetLibAttr(UniqueTypeLibAttr& attributes, UniqueTypeLib& lib) {
  const TypeLibAttributes* a = nullptr;
  HResult r = lib.port()->GetLibAttr(lib.get(), &a);
  if (com::Succeeded(r) && a != nullptr) attributes.adopt(lib, a);
  return r;
}

}  // namespace talv
