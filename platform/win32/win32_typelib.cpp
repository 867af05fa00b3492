#include "platform/win32/windows_fence.h"

// The lean Windows headers leave out the automation declarations.
#include <objbase.h>
#include <oleauto.h>

#include <cstddef>

#include "platform/win32/win32_typelib.h"

namespace talv::win32 {

namespace {
// The port's record is the runtime's TLIBATTR, handed out unchanged.
static_assert(sizeof(TypeLibAttributes) == sizeof(TLIBATTR));
static_assert(offsetof(TypeLibAttributes, libid) == offsetof(TLIBATTR, guid));
static_assert(offsetof(TypeLibAttributes, lcid) == offsetof(TLIBATTR, lcid));
static_assert(offsetof(TypeLibAttributes, syskind) == offsetof(TLIBATTR, syskind));
static_assert(offsetof(TypeLibAttributes, majorVersion) == offsetof(TLIBATTR, wMajorVerNum));
static_assert(offsetof(TypeLibAttributes, minorVersion) == offsetof(TLIBATTR, wMinorVerNum));
static_assert(offsetof(TypeLibAttributes, flags) == offsetof(TLIBATTR, wLibFlags));

ITypeLib* L(TypeLibHandle h) { return ToHandle<ITypeLib*>(h); }
HResult H(HRESULT r) { return static_cast<HResult>(r); }

std::u16string Take(BSTR s) {
  std::u16string out = s ? std::u16string(U(s), SysStringLen(s)) : std::u16string();
  SysFreeString(s);
  return out;
}
}  // namespace

HResult Win32TypeLibraries::LoadTypeLib(const char16_t* path, TypeLibHandle* out) {
  ITypeLib* lib = nullptr;
  HRESULT r = ::LoadTypeLib(W(path), &lib);
  if (SUCCEEDED(r) && out) *out = FromHandle(lib);
  return H(r);
}

HResult Win32TypeLibraries::GetLibAttr(TypeLibHandle lib, const TypeLibAttributes** out) {
  TLIBATTR* attributes = nullptr;
  HRESULT r = L(lib)->GetLibAttr(&attributes);
  if (SUCCEEDED(r) && out) *out = reinterpret_cast<const TypeLibAttributes*>(attributes);
  return H(r);
}

void Win32TypeLibraries::ReleaseTLibAttr(TypeLibHandle lib, const TypeLibAttributes* attributes) {
  L(lib)->ReleaseTLibAttr(
      const_cast<TLIBATTR*>(reinterpret_cast<const TLIBATTR*>(attributes)));
}

HResult Win32TypeLibraries::GetDocumentation(TypeLibHandle lib, std::int32_t index,
                                             std::u16string* name, std::u16string* helpString) {
  BSTR n = nullptr;
  BSTR doc = nullptr;
  HRESULT r = L(lib)->GetDocumentation(index, &n, &doc, nullptr, nullptr);
  std::u16string nameText = Take(n);
  std::u16string docText = Take(doc);
  if (SUCCEEDED(r)) {
    if (name) *name = nameText;
    if (helpString) *helpString = docText;
  }
  return H(r);
}

HResult Win32TypeLibraries::RegisterTypeLib(TypeLibHandle lib, const char16_t* path,
                                            const char16_t* helpDir) {
  // The texts are only read; the declaration lacks const.
  return H(::RegisterTypeLib(L(lib), const_cast<wchar_t*>(W(path)),
                             const_cast<wchar_t*>(W(helpDir))));
}

std::uint32_t Win32TypeLibraries::Release(TypeLibHandle lib) { return L(lib)->Release(); }

}  // namespace talv::win32
