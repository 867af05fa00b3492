// Raw Win32 for the Wine tests beside the ports: owners for a registry key,
// a library and a kernel handle, each closed on every path out of a scope
// through the one owner template (raw calls have no port object; `kRaw`
// stands in for one), and the test doubles' registry settings and records.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/owner.h"
#include "platform/win32/windows_fence.h"

namespace talv::wine {

struct RawWin32 {};
inline RawWin32 kRaw;

// The traits of a raw handle closed by `close(handle)`.
template <class H, auto close>
struct RawClosedBy {
  using Port = RawWin32;
  using Value = H;
  static constexpr H kNone = nullptr;
  static auto Close(RawWin32&, H h) { return close(h); }
};
using RawKey = Owner<RawClosedBy<HKEY, &RegCloseKey>>;
using RawLibrary = Owner<RawClosedBy<HMODULE, &FreeLibrary>>;
using RawHandle = Owner<RawClosedBy<HANDLE, &CloseHandle>>;

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

// The test doubles keep their settings and records in HKEY_LOCAL_MACHINE's
// 64-bit view, whatever the bitness of the program that reads them.
inline constexpr REGSAM kView = KEY_WOW64_64KEY;

// Deletes `path` below `parent` with everything under it, in the doubles'
// view; nothing happens when it does not exist.
inline void DeleteTree(HKEY parent, const std::wstring& path) {
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

// Sets a DWORD or a string value of HKLM\<path>, creating the key.
inline void SetDword(const std::wstring& path, const wchar_t* name, DWORD v) {
  RawKey k;
  ASSERT_EQ(RegCreate(k, HKEY_LOCAL_MACHINE, path.c_str(), KEY_WRITE | kView), ERROR_SUCCESS)
      << "creating HKLM\\" << std::string(path.begin(), path.end());
  RegSetValueExW(k.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}
inline void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& v) {
  RawKey k;
  ASSERT_EQ(RegCreate(k, HKEY_LOCAL_MACHINE, path.c_str(), KEY_WRITE | kView), ERROR_SUCCESS)
      << "creating HKLM\\" << std::string(path.begin(), path.end());
  RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                 static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
}

// The DWORD value of HKLM\<path>, or -1 when it is missing.
inline long long ReadDword(const std::wstring& path, const wchar_t* name) {
  RawKey k;
  if (RegOpen(k, HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | kView) != ERROR_SUCCESS) return -1;
  DWORD v = 0, size = sizeof v, type = 0;
  LONG rc = RegQueryValueExW(k.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
  return rc == ERROR_SUCCESS && type == REG_DWORD ? static_cast<long long>(v) : -1;
}

// A REG_SZ as one string or a REG_MULTI_SZ as its strings; empty when missing.
inline std::vector<std::wstring> ReadStrings(const std::wstring& path, const wchar_t* name) {
  std::vector<std::wstring> out;
  RawKey k;
  if (RegOpen(k, HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | kView) != ERROR_SUCCESS) return out;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(k.get(), name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, 0);
    RegQueryValueExW(k.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    if (type == REG_SZ)
      out.emplace_back(buf.data());
    else if (type == REG_MULTI_SZ)
      for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1) out.emplace_back(p);
  }
  return out;
}

}  // namespace talv::wine
