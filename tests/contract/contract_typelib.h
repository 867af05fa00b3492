// The type library of contract_typelib.idl, as the Windows build compiles
// it (widl gives the target's system kind, 64-bit on x86-64 and 32-bit on
// x86, and the "has disk image" flag) and as the simulator environment
// declares it.
#pragma once

#include "platform/typelib.h"

namespace talv::contract {

inline constexpr Guid kContractLibId{0x6A1C7E55u, 0x3B94, 0x4D0F,
                                     {0x9E, 0x21, 0x5C, 0x8A, 0x7D, 0x3F, 0x0B, 0x16}};
inline constexpr std::uint16_t kContractLibMajor = 2;
inline constexpr std::uint16_t kContractLibMinor = 1;
inline constexpr std::uint32_t kContractLibLcid = 0x40c;
inline constexpr std::int32_t kContractLibSysKind = sizeof(void*) == 8 ? tlb::kSysWin64 : tlb::kSysWin32;
// The registration's subkey for that system kind.
inline constexpr const char16_t* kContractLibSysKey = sizeof(void*) == 8 ? u"win64" : u"win32";
inline constexpr std::uint16_t kContractLibFlags = tlb::kFlagHasDiskImage;
inline constexpr const char16_t* kContractLibName = u"TalvContractLib";
inline constexpr const char16_t* kContractLibHelp = u"TALV contract type library";
// Its key under HKEY_CLASSES_ROOT.
inline constexpr const char16_t* kContractLibKey =
    u"TypeLib\\{6A1C7E55-3B94-4D0F-9E21-5C8A7D3F0B16}";

}  // namespace talv::contract
