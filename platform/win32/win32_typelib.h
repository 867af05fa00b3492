// The type-library port over oleaut32's LoadTypeLib and RegisterTypeLib and
// the loaded library's ITypeLib.
#pragma once

#include "platform/typelib.h"

namespace talv::win32 {

class Win32TypeLibraries final : public TypeLibraries {
 public:
  HResult LoadTypeLib(const char16_t* path, TypeLibHandle* out) override;
  HResult GetLibAttr(TypeLibHandle lib, const TypeLibAttributes** out) override;
  void ReleaseTLibAttr(TypeLibHandle lib, const TypeLibAttributes* attributes) override;
  HResult GetDocumentation(TypeLibHandle lib, std::int32_t index, std::u16string* name,
                           std::u16string* helpString) override;
  HResult RegisterTypeLib(TypeLibHandle lib, const char16_t* path,
                          const char16_t* helpDir) override;
  std::uint32_t Release(TypeLibHandle lib) override;
};

}  // namespace talv::win32
