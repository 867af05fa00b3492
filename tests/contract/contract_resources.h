// The resources that the Windows contract program carries
// (contract_resources.rc) and the simulator environment registers: the same
// bytes in both, so both answer the same test the same way.
#pragma once

#include <cstdint>
#include <string_view>

namespace talv::contract {

struct ContractResource {
  const char16_t* type;
  std::uint16_t id;
  std::string_view bytes;
};

// resources/talvmon.rgs, byte for byte.
inline constexpr std::string_view kCarriedScriptBytes =
    "HKCR\r\n"
    "{\r\n"
    "\tNoRemove AppID\r\n"
    "\t{\r\n"
    "\t\t{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16} = s 'TALVMON'\r\n"
    "\t\t'TALVMON.EXE'\r\n"
    "\t\t{\r\n"
    "\t\t\tval AppID = s {6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}\r\n"
    "\t\t}\r\n"
    "\t}\r\n"
    "}\r\n";

inline constexpr ContractResource kContractResources[] = {
    {u"TALVTEST", 7, std::string_view("abc\0def", 7)},  // a NUL inside, none at the end
    {u"TALVTEST", 8, "xy"},
    {u"TALVTEST", 10, ""},
    {u"REGISTRY", 100, kCarriedScriptBytes},
};

}  // namespace talv::contract
