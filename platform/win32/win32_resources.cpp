#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_resources.h"

namespace talv::win32 {

ModuleHandle Win32Resources::ProcessModule() { return FromHandle(GetModuleHandleW(nullptr)); }

WinError Win32Resources::LoadAsData(const char16_t* path, ModuleHandle* out) {
  HMODULE h = LoadLibraryExW(W(path), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  WinError e = h ? err::kSuccess : LastError();
  if (out) *out = FromHandle(h);
  return e;
}

WinError Win32Resources::FindResource(ModuleHandle module, const char16_t* type, std::uint16_t id,
                                      const void** data, std::uint32_t* size) {
  if (data) *data = nullptr;
  if (size) *size = 0;
  HMODULE m = ToHandle<HMODULE>(module);
  HRSRC found = FindResourceW(m, MAKEINTRESOURCEW(id), W(type));
  if (!found) return LastError();
  HGLOBAL loaded = LoadResource(m, found);
  if (!loaded) return LastError();
  DWORD bytes = SizeofResource(m, found);
  // A resource of no bytes is legal; LockResource still gives its address.
  const void* p = LockResource(loaded);
  if (!p) return LastError();
  if (data) *data = p;
  if (size) *size = bytes;
  return err::kSuccess;
}

WinError Win32Resources::Free(ModuleHandle module) {
  return FreeLibrary(ToHandle<HMODULE>(module)) ? err::kSuccess
                                                : LastError();
}

}  // namespace talv::win32
