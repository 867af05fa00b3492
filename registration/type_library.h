// Type library registration: the last step of the registration commands.
// It registers every class of the module's class table with its component
// categories and then the type library the executable carries (or the
// ".tlb" file beside it), and undoes the same on unregistration. The
// program's class table is empty, so in practice only the type library is
// registered; a class added to the table is registered the same way.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com.h"
#include "platform/library.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "platform/typelib.h"
#include "service/server_module.h"

namespace talv {

// The ports these operations reach the machine through.
struct TypeLibraryPorts {
  explicit TypeLibraryPorts(Platform& p)
      : system(p.system), libraries(p.libraries), com(p.com), typeLibraries(p.typeLibraries) {}
  TypeLibraryPorts(System& s, Libraries& l, Com& c, TypeLibraries& t)
      : system(s), libraries(l), com(c), typeLibraries(t) {}

  System& system;
  Libraries& libraries;
  Com& com;
  TypeLibraries& typeLibraries;
};

// Units of the buffer that holds the type library's path, and how many of
// them the module file name may take; the rest is room for an index text or
// the ".tlb" extension.
inline constexpr std::uint32_t kTypeLibPathUnits = 270;
inline constexpr std::uint32_t kModuleFileNameUnits = 260;

// A path (module file name, appended index, or ".tlb" extension) that does
// not fit the path buffer: HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER).
inline constexpr HResult kTypeLibPathTooLong = HResultFromWin32(err::kInsufficientBuffer);

// Registers each handled class of the table (all of them except those with
// a description, or only `clsid` when given): its registry entries, then its
// categories; the first failure is returned. Then, when `registerTypeLib`,
// the result of RegisterTypeLibrary; otherwise S_OK.
HResult RegisterModuleClasses(const TypeLibraryPorts& ports, CServerModule& module,
                              bool registerTypeLib, const Guid* clsid);

// Removes the same classes' registry entries and categories and, when
// `unregisterTypeLib`, the type library's registration; every result is
// ignored. S_OK.
HResult UnregisterModuleClasses(const TypeLibraryPorts& ports, CServerModule& module,
                                bool unregisterTypeLib, const Guid* clsid);

// Adds (or removes) the class's categories through the component categories
// manager, one category per call: kind 1 implemented, any other kind
// required, up to the entry of kind 0. No list, or no manager: S_OK.
// Registering returns the first failure; unregistering ignores them.
HResult RegisterClassCategories(Com& com, const Guid& clsid, const CategoryMapEntry* categories,
                                bool doRegister);

// Loads the type library of the module's type-library instance: its file
// (with `index` appended when given), else that path with everything from
// its last "." replaced by ".tlb". On success *path is the path that loaded
// and *lib the library, which the caller releases. A path that does not fit
// its buffer gives kTypeLibPathTooLong; a failed second load its HRESULT.
HResult LoadModuleTypeLibrary(const TypeLibraryPorts& ports, CServerModule& module,
                              const char16_t* index, std::u16string* path, TypeLibHandle* lib);

// Loads the type library and registers it with the path that loaded and,
// as help directory, that path cut just after its last "\", "/" or ":".
// The load's failure or RegisterTypeLib's result.
HResult RegisterTypeLibrary(const TypeLibraryPorts& ports, CServerModule& module,
                            const char16_t* index);

// Loads the type library and removes its registration with oleaut32's
// UnRegisterTypeLib, looked up at run time (nothing happens when the
// library or the export is missing); the HRESULT of the load.
HResult UnregisterTypeLibrary(const TypeLibraryPorts& ports, CServerModule& module,
                              const char16_t* index);

}  // namespace talv
