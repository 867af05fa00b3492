#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_libraries.h"

namespace talv::win32 {

WinError Win32Libraries::Load(const char16_t* name, ModuleHandle* out) {
  HMODULE h = LoadLibraryW(W(name));
  if (h == nullptr) {
    DWORD e = ::GetLastError();
    return e != 0 ? static_cast<WinError>(e) : err::kModNotFound;
  }
  if (out) *out = FromHandle(h);
  return err::kSuccess;
}

ProcAddress Win32Libraries::GetProc(ModuleHandle module, const char* name) {
  return reinterpret_cast<ProcAddress>(GetProcAddress(ToHandle<HMODULE>(module), name));
}

WinError Win32Libraries::Free(ModuleHandle module) {
  if (FreeLibrary(ToHandle<HMODULE>(module))) return err::kSuccess;
  DWORD e = ::GetLastError();
  return e != 0 ? static_cast<WinError>(e) : err::kModNotFound;
}

}  // namespace talv::win32
