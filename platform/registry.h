// The registry port: keys, values and the seven predefined roots, with the
// Win32 calling rules kept exactly (sizes in bytes, in/out size of a value
// query, Win32 error numbers as results).
#pragma once

#include <cstdint>

#include "platform/owner.h"
#include "platform/types.h"

namespace talv {

// A registry key handle. The predefined roots carry the same (sign-extended)
// values as the Windows headers, so the Win32 adapter passes them unchanged.
using RegKey = Handle;

namespace reg {
constexpr RegKey Predefined(std::uint32_t v) {
  return static_cast<RegKey>(static_cast<std::intptr_t>(static_cast<std::int32_t>(v)));
}
inline constexpr RegKey kClassesRoot = Predefined(0x80000000u);
inline constexpr RegKey kCurrentUser = Predefined(0x80000001u);
inline constexpr RegKey kLocalMachine = Predefined(0x80000002u);
inline constexpr RegKey kUsers = Predefined(0x80000003u);
inline constexpr RegKey kPerformanceData = Predefined(0x80000004u);
inline constexpr RegKey kCurrentConfig = Predefined(0x80000005u);
inline constexpr RegKey kDynData = Predefined(0x80000006u);

inline bool IsPredefined(RegKey k) {
  return k >= kClassesRoot && k <= kDynData;
}

// Value types.
inline constexpr std::uint32_t kNone = 0;
inline constexpr std::uint32_t kSz = 1;
inline constexpr std::uint32_t kExpandSz = 2;
inline constexpr std::uint32_t kBinary = 3;
inline constexpr std::uint32_t kDword = 4;
inline constexpr std::uint32_t kMultiSz = 7;
inline constexpr std::uint32_t kQword = 11;

// Access masks.
inline constexpr std::uint32_t kQueryValue = 0x0001;
inline constexpr std::uint32_t kSetValue = 0x0002;
inline constexpr std::uint32_t kCreateSubKey = 0x0004;
inline constexpr std::uint32_t kEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kRead = 0x20019;
inline constexpr std::uint32_t kWrite = 0x20006;
inline constexpr std::uint32_t kAllAccess = 0xF003F;
}  // namespace reg

class Registry {
 public:
  virtual ~Registry() = default;

  // Opens `subKey` (may be empty or null: the parent itself) below `parent`;
  // *out is written only on success and must be closed with CloseKey.
  [[nodiscard]] virtual WinError OpenKey(RegKey parent, const char16_t* subKey, std::uint32_t access,
                           RegKey* out) = 0;
  // Opens or creates `subKey` (and missing keys on its path), non-volatile,
  // no class; *created says whether it was new. Outputs written only on success.
  [[nodiscard]] virtual WinError CreateKey(RegKey parent, const char16_t* subKey, std::uint32_t access,
                             RegKey* out, bool* created) = 0;
  // RegQueryValueExW: `name` null or empty is the default value. With data
  // null only the size is asked. On 234 (more data) *size holds the size needed
  // and the data buffer is unspecified; on 0 *size is the data's size.
  [[nodiscard]] virtual WinError QueryValue(RegKey key, const char16_t* name, std::uint32_t* type,
                              void* data, std::uint32_t* size) = 0;
  // Stores `size` raw bytes of `type` under `name` (null or empty: default value).
  [[nodiscard]] virtual WinError SetValue(RegKey key, const char16_t* name, std::uint32_t type,
                            const void* data, std::uint32_t size) = 0;
  // Deletes one value; 2 when it does not exist.
  [[nodiscard]] virtual WinError DeleteValue(RegKey key, const char16_t* name) = 0;
  // Deletes `subKey` of `parent`; fails (5) while that key has subkeys.
  [[nodiscard]] virtual WinError DeleteKey(RegKey parent, const char16_t* subKey) = 0;
  // Name of the index-th subkey; *nameLen in: capacity in units incl. the
  // terminator, out: length without it. 259 past the end, 234 when too small.
  [[nodiscard]] virtual WinError EnumKey(RegKey key, std::uint32_t index, char16_t* name,
                           std::uint32_t* nameLen) = 0;
  // Name (and optionally type, data) of the index-th value, same size rules.
  [[nodiscard]] virtual WinError EnumValue(RegKey key, std::uint32_t index, char16_t* name,
                             std::uint32_t* nameLen, std::uint32_t* type, void* data,
                             std::uint32_t* dataSize) = 0;
  // Number of subkeys and values (either pointer may be null).
  [[nodiscard]] virtual WinError QueryInfoKey(RegKey key, std::uint32_t* subKeys, std::uint32_t* values) = 0;
  // Closes a key that OpenKey or CreateKey returned; predefined roots are left alone.
  virtual WinError CloseKey(RegKey key) = 0;
};

// An open key, closed on every path out of a scope.
using UniqueKey = Owner<ClosedBy<&Registry::CloseKey>>;

// Opens `subKey` of `parent` into `key`; keeps the old key on failure.
[[nodiscard]] inline WinError Open(UniqueKey& key, Registry& registry, RegKey parent, const char16_t* subKey,
                     std::uint32_t access) {
  return OpenInto(key, registry,
                  [&](RegKey* out) { return registry.OpenKey(parent, subKey, access, out); });
}
// Opens or creates `subKey` of `parent` into `key`; keeps the old key on failure.
[[nodiscard]] inline WinError Create(UniqueKey& key, Registry& registry, RegKey parent, const char16_t* subKey,
                       std::uint32_t access, bool* created = nullptr) {
  bool c = false;
  WinError r = OpenInto(
      key, registry, [&](RegKey* out) { return registry.CreateKey(parent, subKey, access, out, &c); });
  if (r == err::kSuccess && created != nullptr) *created = c;
  return r;
}

}  // namespace talv
