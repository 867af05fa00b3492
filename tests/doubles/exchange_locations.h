// Where Exchange keeps its fifteen data and log locations: the parameters
// key (below System\CurrentControlSet\Services) and value of each, in the
// order the monitor reads them. For the stand-in Exchange servers of the
// host tests and the cycle benchmark.
#pragma once

#include <utility>

namespace talv::test {

inline constexpr std::pair<const char16_t*, const char16_t*> kExchangeLocations[15] = {
    {u"MSExchangeIS\\ParametersPrivate", u"DB Path"},
    {u"MSExchangeIS\\ParametersPublic", u"DB Path"},
    {u"MSExchangeIS\\ParametersSystem", u"DB Log Path"},
    {u"MSExchangeIS\\ParametersSystem", u"IMAP4 Protocol Log Path"},
    {u"MSExchangeIS\\ParametersSystem", u"NNTP Protocol Log Path"},
    {u"MSExchangeIS\\ParametersSystem", u"POP3 Protocol Log Path"},
    {u"MSExchangeDS\\Parameters", u"Database Log files path"},
    {u"MSExchangeDS\\Parameters", u"DSA Database file"},
    {u"MSExchangeDS\\Parameters", u"DSA Hierarchy table file"},
    {u"MSExchangeDS\\Parameters", u"DSA Temporary file"},
    {u"MSExchangeDS\\Parameters", u"DSA Working directory"},
    {u"MSExchangeMTA\\Parameters", u"MTA Database Path"},
    {u"MSExchangeCCMC\\Parameters", u"Connector Store Path"},
    {u"MSExchangeSA\\Parameters", u"LogDirectory"},
    {u"MSExchangeWEB\\Parameters", u"RFC1967SaveDirectory"},
};

}  // namespace talv::test
