// Owners for the raw Win32 handles the Wine tests use beside the ports: a
// registry key, a library and a kernel handle, each closed on every path out
// of a scope through the one owner template. Raw calls have no port object;
// `kRaw` stands in for one.
#pragma once

#include <string>

#include "platform/owner.h"
#include "platform/win32/windows_fence.h"

namespace talv::wine {

struct RawWin32 {};
inline RawWin32 kRaw;

struct RawKeyTraits {
  using Port = RawWin32;
  using Value = HKEY;
  static constexpr HKEY kNone = nullptr;
  static LONG Close(RawWin32&, HKEY k) { return RegCloseKey(k); }
};
using RawKey = Owner<RawKeyTraits>;

struct RawLibraryTraits {
  using Port = RawWin32;
  using Value = HMODULE;
  static constexpr HMODULE kNone = nullptr;
  static BOOL Close(RawWin32&, HMODULE m) { return FreeLibrary(m); }
};
using RawLibrary = Owner<RawLibraryTraits>;

struct RawHandleTraits {
  using Port = RawWin32;
  using Value = HANDLE;
  static constexpr HANDLE kNone = nullptr;
  static BOOL Close(RawWin32&, HANDLE h) { return CloseHandle(h); }
};
using RawHandle = Owner<RawHandleTraits>;

// RegOpenKeyExW into `key`; the call's result.
inline LONG RegOpen(RawKey& key, HKEY root, const wchar_t* path, REGSAM access) {
  return OpenInto(key, kRaw, [&](HKEY* out) { return RegOpenKeyExW(root, path, 0, access, out); });
}
// RegCreateKeyExW (non-volatile, no class) into `key`; the call's result.
inline LONG RegCreate(RawKey& key, HKEY root, const wchar_t* path, REGSAM access) {
  return OpenInto(key, kRaw, [&](HKEY* out) {
    return RegCreateKeyExW(root, path, 0, nullptr, 0, access, nullptr, out, nullptr);
  });
}

// Deletes `path` below `parent` with everything under it, in the 64-bit view
// the test doubles use; nothing happens when it does not exist.
inline void DeleteTree(HKEY parent, const std::wstring& path) {
  const REGSAM kView = KEY_WOW64_64KEY;
  RawKey k;
  if (RegOpen(k, parent, path.c_str(), KEY_READ | KEY_WRITE | kView) != ERROR_SUCCESS) return;
  for (;;) {
    wchar_t name[256];
    DWORD len = 256;
    if (RegEnumKeyExW(k.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    DeleteTree(k.get(), name);
  }
  k.reset();
  RegDeleteKeyExW(parent, path.c_str(), kView, 0);
}

}  // namespace talv::wine
