#include "platform/win32/windows_fence.h"

#include "platform/win32/win32_registry.h"

namespace talv::win32 {

namespace {
HKEY K(RegKey k) { return ToHandle<HKEY>(k); }
DWORD* D(std::uint32_t* p) { return reinterpret_cast<DWORD*>(p); }
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(wchar_t) == sizeof(char16_t));
}  // namespace

WinError Win32Registry::OpenKey(RegKey parent, const char16_t* subKey, std::uint32_t access,
                                RegKey* out) {
  HKEY h = nullptr;
  LONG r = RegOpenKeyExW(K(parent), W(subKey), 0, access, &h);
  if (r == ERROR_SUCCESS && out) *out = FromHandle(h);
  return static_cast<WinError>(r);
}

WinError Win32Registry::CreateKey(RegKey parent, const char16_t* subKey, std::uint32_t access,
                                  RegKey* out, bool* created) {
  HKEY h = nullptr;
  DWORD disposition = 0;
  LONG r = RegCreateKeyExW(K(parent), W(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                           nullptr, &h, &disposition);
  if (r == ERROR_SUCCESS) {
    if (out) *out = FromHandle(h);
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
  }
  return static_cast<WinError>(r);
}

WinError Win32Registry::QueryValue(RegKey key, const char16_t* name, std::uint32_t* type,
                                   void* data, std::uint32_t* size) {
  return static_cast<WinError>(
      RegQueryValueExW(K(key), W(name), nullptr, D(type), static_cast<BYTE*>(data), D(size)));
}

WinError Win32Registry::SetValue(RegKey key, const char16_t* name, std::uint32_t type,
                                 const void* data, std::uint32_t size) {
  return static_cast<WinError>(
      RegSetValueExW(K(key), W(name), 0, type, static_cast<const BYTE*>(data), size));
}

WinError Win32Registry::DeleteValue(RegKey key, const char16_t* name) {
  return static_cast<WinError>(RegDeleteValueW(K(key), W(name)));
}

WinError Win32Registry::DeleteKey(RegKey parent, const char16_t* subKey) {
  return static_cast<WinError>(RegDeleteKeyW(K(parent), W(subKey)));
}

WinError Win32Registry::EnumKey(RegKey key, std::uint32_t index, char16_t* name,
                                std::uint32_t* nameLen) {
  return static_cast<WinError>(
      RegEnumKeyExW(K(key), index, W(name), D(nameLen), nullptr, nullptr, nullptr, nullptr));
}

WinError Win32Registry::EnumValue(RegKey key, std::uint32_t index, char16_t* name,
                                  std::uint32_t* nameLen, std::uint32_t* type, void* data,
                                  std::uint32_t* dataSize) {
  return static_cast<WinError>(RegEnumValueW(K(key), index, W(name), D(nameLen), nullptr, D(type),
                                             static_cast<BYTE*>(data), D(dataSize)));
}

WinError Win32Registry::QueryInfoKey(RegKey key, std::uint32_t* subKeys, std::uint32_t* values) {
  return static_cast<WinError>(RegQueryInfoKeyW(K(key), nullptr, nullptr, nullptr, D(subKeys),
                                                nullptr, nullptr, D(values), nullptr, nullptr,
                                                nullptr, nullptr));
}

WinError Win32Registry::CloseKey(RegKey key) {
  return static_cast<WinError>(RegCloseKey(K(key)));
}

}  // namespace talv::win32
