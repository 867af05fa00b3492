#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_libraries.h"

namespace talv::win32 {

WinError Win32Libraries::Load(const char16_t* name, ModuleHandle* out) {
  HMODULE h = LoadLibraryW(W(name));
  if (h == nullptr) return LastError(err::kModNotFound);
  if (out) *out = FromHandle(h);
  return err::kSuccess;
}

ProcAddress Win32Libraries::GetProc(ModuleHandle module, const char* name) {
  return reinterpret_cast<ProcAddress>(GetProcAddress(ToHandle<HMODULE>(module), name));
}

WinError Win32Libraries::Free(ModuleHandle module) {
  return FreeLibrary(ToHandle<HMODULE>(module)) ? err::kSuccess : LastError(err::kModNotFound);
}

}  // namespace talv::win32
