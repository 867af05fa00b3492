// The registry script language in both directions, on the simulated
// registry: the carried script, replacements, tokens, protected names,
// NoRemove, recovery, roll-back and every syntax failure.
#include <gtest/gtest.h>

#include <string>

#include "tests/contract/contract_resources.h"
#include "tests/unit/registry_script_fixture.h"

namespace talv::testing {
namespace {

using Dir = ScriptDirection;
constexpr RegKey HKCR = reg::kClassesRoot;
constexpr RegKey HKCU = reg::kCurrentUser;
constexpr RegKey HKLM = reg::kLocalMachine;

std::u16string Repeat(char16_t c, std::size_t n) { return std::u16string(n, c); }

// --- the carried script ---------------------------------------------------

TEST(CarriedScriptFile, IsElevenTabIndentedLinesEachEndingInCrLf) {
  EXPECT_EQ(CarriedScriptBytes(), contract::kCarriedScriptBytes);
}

class CarriedScript : public RegistryScriptTest {
 protected:
  void SetUp() override { CarryScript(CarriedScriptBytes()); }
};

TEST_F(CarriedScript, RegistersTheIdentityAndTheExecutableName) {
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_EQ(Sz(HKCR, kIdentityKey, u""), u"TALVMON");
  EXPECT_EQ(Sz(HKCR, kExeKey, u"AppID"), kAppId);
  EXPECT_EQ(Keys(HKCR), (std::vector<std::u16string>{u"AppID", kExeKey, kIdentityKey}));
  EXPECT_EQ(registry.Dump(HKCR).size(), 5u) << "three keys and one value in each of two";
  EXPECT_EQ(resources.LastLoadedPath(), kShortPath) << "the executable is read by its short path";
}

TEST_F(CarriedScript, RegisteringTwiceLeavesTheSameStateAndCreatesNothingNew) {
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  auto first = registry.Dump(HKCR);
  auto creates = registry.faults().Calls(sim::SimRegistry::Op::Create);
  // The second run finds every key: creating one would now fail the run.
  registry.faults().FailAlways(sim::SimRegistry::Op::Create, err::kAccessDenied);
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_EQ(registry.Dump(HKCR), first);
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::Create), creates);
}

TEST_F(CarriedScript, UnregisteringAfterAServiceRegistrationKeepsOnlyAppId) {
  registry.PutString(HKCR, u"AppID\\{11111111-2222-3333-4444-555555555555}", u"", u"Other");
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  // What the service installation adds to the identity.
  registry.PutString(HKCR, kIdentityKey, u"LocalService", u"TALVMON");
  registry.PutString(HKCR, kIdentityKey, u"ServiceParameters", u"");
  ASSERT_EQ(Apply(Dir::kUnregister), hr::kOk);
  EXPECT_FALSE(registry.HasKey(HKCR, kIdentityKey));
  EXPECT_FALSE(registry.HasKey(HKCR, kExeKey));
  EXPECT_TRUE(registry.HasKey(HKCR, u"AppID"));
  EXPECT_EQ(registry.GetString(HKCR, u"AppID\\{11111111-2222-3333-4444-555555555555}", u""),
            u"Other");
}

TEST_F(CarriedScript, TheExecutableKeysValueGoesWithTheKey) {
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  // The value is deleted through the key's read-only handle, which the
  // registry refuses (not reported); deleting the key takes it along. Where
  // the key cannot go, the value stays.
  registry.DenyKey(HKCR, kExeKey, 0x10000u);
  ASSERT_EQ(Apply(Dir::kUnregister), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCR, kExeKey));
  EXPECT_TRUE(registry.HasValue(HKCR, kExeKey, u"AppID"));
  EXPECT_FALSE(registry.HasKey(HKCR, kIdentityKey));
}

TEST_F(CarriedScript, AppIdStaysEvenWhenNothingElseIsBelowIt) {
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  ASSERT_EQ(Apply(Dir::kUnregister), hr::kOk);
  EXPECT_EQ(registry.Dump(HKCR), (std::vector<std::u16string>{u"AppID"}));
}

TEST_F(CarriedScript, UnregisteringWhatWasNeverRegisteredDeletesNothing) {
  registry.PutString(HKCR, u"AppID\\{11111111-2222-3333-4444-555555555555}", u"", u"Other");
  registry.PutString(HKCR, u"CLSID\\{0}", u"", u"x");
  auto before = registry.Dump(HKCR);
  ASSERT_EQ(Apply(Dir::kUnregister), hr::kOk);
  EXPECT_EQ(registry.Dump(HKCR), before);
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::DeleteKey), 0u);
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::DeleteValue), 0u);
}

TEST_F(CarriedScript, UnregisteringOnAnEmptyRegistryIsFine) {
  ASSERT_EQ(Apply(Dir::kUnregister), hr::kOk);
  EXPECT_TRUE(registry.Dump(HKCR).empty());
}

// --- replacement variables ------------------------------------------------

TEST_F(RegistryScriptTest, DoubledPercentIsOnePercentAndModuleMatchesInAnyCase) {
  ASSERT_EQ(Register(u"HKCU { T { val A = s '100%%' val B = s %Module% val C = s %MODULE% "
                     u"val D = s '%mOdUlE%%%' } }"),
            hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u"A"), u"100%");
  EXPECT_EQ(Sz(HKCU, u"T", u"B"), u"C:\\talv\\talvmon.exe");
  EXPECT_EQ(Sz(HKCU, u"T", u"C"), u"C:\\talv\\talvmon.exe");
  EXPECT_EQ(Sz(HKCU, u"T", u"D"), u"C:\\talv\\talvmon.exe%");
}

TEST_F(RegistryScriptTest, AnExpandedValueIsNotScannedAgain) {
  CRegistryScript script(registry, system, resources, memory);
  ASSERT_EQ(script.AddReplacement(u"A", u"%B%"), hr::kOk);
  ASSERT_EQ(script.AddReplacement(u"B", u"never"), hr::kOk);
  ASSERT_EQ(script.RunScriptText(u"HKCU { T = s %A% }", Dir::kRegister), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u""), u"%B%");
}

TEST_F(RegistryScriptTest, ReplacementsWorkInsideQuotesAndInKeyNames) {
  CRegistryScript script(registry, system, resources, memory);
  ASSERT_EQ(script.AddReplacement(u"Name", u"Key With Space"), hr::kOk);
  ASSERT_EQ(script.RunScriptText(u"HKCU { '%Name%' { val 'v %name%' = s x } }", Dir::kRegister),
            hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"Key With Space", u"v Key With Space"), u"x");
}

TEST_F(RegistryScriptTest, TheFirstPairOfANameWins) {
  CRegistryScript script(registry, system, resources, memory);
  ASSERT_EQ(script.AddReplacement(u"X", u"first"), hr::kOk);
  ASSERT_EQ(script.AddReplacement(u"x", u"second"), hr::kOk);
  ASSERT_EQ(script.RunScriptText(u"HKCU { T = s %X% }", Dir::kRegister), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u""), u"first");
}

TEST_F(RegistryScriptTest, ModuleApostrophesAreDoubledSoTheyFitInsideQuotes) {
  // A module other than the executable is named by its long path.
  system.SetModuleFileName(u"C:\\O'Neil's\\talvmon.exe", 0x7000);
  CarryScript("HKCU { T = s '%Module%' { val Plain = s %Module% } }",
              u"C:\\O'Neil's\\talvmon.exe");
  ASSERT_EQ(Apply(Dir::kRegister, 0x7000), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u""), u"C:\\O'Neil's\\talvmon.exe");
  EXPECT_EQ(Sz(HKCU, u"T", u"Plain"), u"C:\\O''Neil''s\\talvmon.exe") << "unquoted: as expanded";
}

TEST_F(RegistryScriptTest, ReplacementFailuresStopBeforeAnythingIsWritten) {
  EXPECT_EQ(Register(u"HKCU { A } HKCU { %Missing% }"), hr::kDispException);
  EXPECT_EQ(Register(u"HKCU { A } HKCU { B = s '50%' }"), hr::kDispException) << "not closed";
  EXPECT_EQ(Register(u"HKCU { A } %"), hr::kDispException);
  EXPECT_EQ(Register(u"HKCU { A } %" + Repeat(u'n', 32) + u"%"), hr::kFail);
  EXPECT_TRUE(registry.Dump(HKCU).empty());
}

TEST_F(RegistryScriptTest, AVariableNameHasAtMostThirtyOneUnits) {
  std::u16string name31 = Repeat(u'n', 31);
  CRegistryScript script(registry, system, resources, memory);
  ASSERT_EQ(script.AddReplacement(name31.c_str(), u"v31"), hr::kOk);
  ASSERT_EQ(script.RunScriptText((u"HKCU { T = s %" + name31 + u"% }").c_str(), Dir::kRegister),
            hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u""), u"v31");
  std::u16string name32 = Repeat(u'n', 32);
  ASSERT_EQ(script.AddReplacement(name32.c_str(), u"v32"), hr::kOk);
  EXPECT_EQ(script.RunScriptText((u"HKCU { U = s %" + name32 + u"% }").c_str(), Dir::kRegister),
            hr::kFail);
  EXPECT_FALSE(registry.HasKey(HKCU, u"U"));
}

// --- tokens -----------------------------------------------------------------

TEST_F(RegistryScriptTest, QuotedStringsHoldWhiteSpaceBracesAndDoubledApostrophes) {
  ASSERT_EQ(Register(u"HKCU { 'A { b } c' = s 'it''s ''{'' } ' { val '' = s '' } }"), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"A { b } c", u""), u"") << "an empty quoted name is the default value";
  ASSERT_EQ(Register(u"HKCU { 'A { b } c' = s 'it''s ''{'' } ' }"), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"A { b } c", u""), u"it's '{' } ");
}

TEST_F(RegistryScriptTest, AQuotedTokenHoldsAtMost4094Units) {
  std::u16string ok = Repeat(u'q', 4094);
  ASSERT_EQ(Register(u"HKCU { T { val V = s '" + ok + u"' } }"), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u"V"), ok);
  // A doubled apostrophe counts as the one unit it stands for.
  std::u16string withQuote = Repeat(u'q', 4093) + u"''";
  ASSERT_EQ(Register(u"HKCU { T { val W = s '" + withQuote + u"' } }"), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u"W"), Repeat(u'q', 4093) + u"'");
  EXPECT_EQ(Register(u"HKCU { T { val X = s '" + ok + u"q' } }"), hr::kDispException);
  EXPECT_FALSE(registry.HasValue(HKCU, u"T", u"X"));
}

TEST_F(RegistryScriptTest, AnUnquotedTokenHoldsAtMost4095Units) {
  std::u16string ok = Repeat(u'u', 4095);
  ASSERT_EQ(Register(u"HKCU { T { val V = s " + ok + u" } }"), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u"V"), ok);
  EXPECT_EQ(Register(u"HKCU { T { val X = s " + ok + u"u } }"), hr::kDispException);
  EXPECT_FALSE(registry.HasValue(HKCU, u"T", u"X"));
  // The limit holds at the very end of the text as well.
  EXPECT_EQ(Register(u"HKCU { T } " + ok + u"u"), hr::kDispException);
}

TEST_F(RegistryScriptTest, AValueNameHoldsAtMost259Units) {
  std::u16string ok = Repeat(u'v', 259);
  ASSERT_EQ(Register(u"HKCU { T { val " + ok + u" = d 7 } }"), hr::kOk);
  EXPECT_EQ(Dword(HKCU, u"T", ok), 7u);
  EXPECT_EQ(Register(u"HKCU { T { val '" + ok + u"v' = d 8 } }"), hr::kDispException);
  EXPECT_EQ(Unregister(u"HKCU { T { val " + ok + u"v = d 8 } }"), hr::kDispException);
  EXPECT_TRUE(registry.HasValue(HKCU, u"T", ok));
}

TEST_F(RegistryScriptTest, WhiteSpaceIsTabLineFeedCarriageReturnAndSpace) {
  ASSERT_EQ(Register(u"\r\n\tHKCU\t{\nA\r=\ts\n'x'\r\n}\r\n\t "), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"A", u""), u"x");
  // Anything else, a form feed say, belongs to the token.
  ASSERT_EQ(Register(u"HKCU { B\fC }"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"B\fC"));
}

TEST_F(RegistryScriptTest, EmptyScriptsDoNothing) {
  EXPECT_EQ(Register(u""), hr::kOk);
  EXPECT_EQ(Unregister(u" \r\n\t"), hr::kOk);
  EXPECT_EQ(Register(u"HKCU { }"), hr::kOk);
  EXPECT_TRUE(registry.Dump(HKCU).empty());
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::Open), 0u);
}

TEST_F(RegistryScriptTest, EveryRootNameInAnyCase) {
  struct Case {
    const char16_t* name;
    RegKey root;
  };
  const Case cases[] = {
      {u"HKCR", HKCR}, {u"hkey_classes_root", HKCR}, {u"hkcu", HKCU},
      {u"HKEY_CURRENT_USER", HKCU}, {u"HkLm", HKLM}, {u"HKEY_LOCAL_MACHINE", HKLM},
      {u"HKU", reg::kUsers}, {u"HKEY_USERS", reg::kUsers},
      {u"HKPD", reg::kPerformanceData}, {u"HKEY_PERFORMANCE_DATA", reg::kPerformanceData},
      {u"HKDD", reg::kDynData}, {u"HKEY_DYN_DATA", reg::kDynData},
      {u"HKCC", reg::kCurrentConfig}, {u"HKEY_CURRENT_CONFIG", reg::kCurrentConfig},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CRegistryScriptParser::RootKeyFromName(c.name), c.root) << Narrow(c.name);
    ASSERT_EQ(Register(std::u16string(c.name) + u" { RootProbe }"), hr::kOk) << Narrow(c.name);
    EXPECT_TRUE(registry.HasKey(c.root, u"RootProbe")) << Narrow(c.name);
    registry.RemoveTree(c.root, u"RootProbe");
  }
  EXPECT_EQ(CRegistryScriptParser::RootKeyFromName(u"HKEY_CLASSES"), 0u);
  EXPECT_EQ(CRegistryScriptParser::RootKeyFromName(u"HKCR{"), 0u);
}

TEST_F(RegistryScriptTest, KeywordsAndValueTypesInAnyCase) {
  registry.PutKey(HKCU, u"F\\Old");
  registry.PutKey(HKCU, u"D");
  ASSERT_EQ(Register(u"HKCU { forceREMOVE F { VAL a = S x vAl b = d 5 Val c = B ff } "
                     u"DELETE D noremove N }"),
            hr::kOk);
  EXPECT_FALSE(registry.HasKey(HKCU, u"F\\Old"));
  EXPECT_EQ(Sz(HKCU, u"F", u"a"), u"x");
  EXPECT_EQ(Dword(HKCU, u"F", u"b"), 5u);
  EXPECT_EQ(Bytes(HKCU, u"F", u"c"), (std::vector<std::uint8_t>{0xFF}));
  EXPECT_FALSE(registry.HasKey(HKCU, u"D"));
  EXPECT_TRUE(registry.HasKey(HKCU, u"N"));
  EXPECT_EQ(CRegistryScriptParser::ValueTypeFromToken(u"s"), reg::kSz);
  EXPECT_EQ(CRegistryScriptParser::ValueTypeFromToken(u"D"), reg::kDword);
  EXPECT_EQ(CRegistryScriptParser::ValueTypeFromToken(u"b"), reg::kBinary);
  EXPECT_EQ(CRegistryScriptParser::ValueTypeFromToken(u"sz"), reg::kNone);
  EXPECT_EQ(CRegistryScriptParser::ValueTypeFromToken(u"m"), reg::kNone);
}

// --- values -----------------------------------------------------------------

TEST_F(RegistryScriptTest, BinaryValuesTakeTwoDigitsPerByteHighNibbleFirst) {
  ASSERT_EQ(Register(u"HKCU { T { val B = b 0aFF val E = b '' val Z = b zz1G } }"), hr::kOk);
  std::uint32_t type = 0;
  EXPECT_EQ(Bytes(HKCU, u"T", u"B", &type), (std::vector<std::uint8_t>{0x0A, 0xFF}));
  EXPECT_EQ(type, reg::kBinary);
  EXPECT_TRUE(Bytes(HKCU, u"T", u"E").empty());
  EXPECT_EQ(Bytes(HKCU, u"T", u"Z"), (std::vector<std::uint8_t>{0x00, 0x10}))
      << "a character that is no digit counts as 0";
}

TEST_F(RegistryScriptTest, OddBinaryTextFailsAndTheSectionIsRolledBack) {
  EXPECT_EQ(Register(u"HKCU { T { val A = s x val B = b 0aF } }"), hr::kFail);
  EXPECT_FALSE(registry.HasKey(HKCU, u"T"));
}

TEST_F(RegistryScriptTest, HexDigitValues) {
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(u'0'), 0);
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(u'9'), 9);
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(u'a'), 10);
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(u'F'), 15);
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(u'g'), 0);
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(u'G'), 0);
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(u' '), 0);
  EXPECT_EQ(CRegistryScriptParser::HexDigitValue(static_cast<char16_t>(0xFF10)), 0)
      << "full-width digits are not digits";
}

TEST_F(RegistryScriptTest, DwordValuesAreUnsignedDecimal) {
  ASSERT_EQ(Register(u"HKCU { T { val A = d 0 val B = d 4294967295 val C = d '  +42 ' "
                     u"val D = d 4294967296 val E = d 0x10 val F = d -1 val G = d '' "
                     u"val H = d 12a } }"),
            hr::kOk);
  EXPECT_EQ(Dword(HKCU, u"T", u"A"), 0u);
  EXPECT_EQ(Dword(HKCU, u"T", u"B"), 4294967295u);
  EXPECT_EQ(Dword(HKCU, u"T", u"C"), 42u);
  // Text that is no unsigned decimal number in range is written as 0.
  for (const char16_t* name : {u"D", u"E", u"F", u"G", u"H"})
    EXPECT_EQ(Dword(HKCU, u"T", name), 0u) << Narrow(name);
}

TEST_F(RegistryScriptTest, AValueThatCannotBeWrittenIsNotReported) {
  registry.faults().FailNext(sim::SimRegistry::Op::Set, err::kAccessDenied);
  ASSERT_EQ(Register(u"HKCU { T = s first { val V = s second } }"), hr::kOk);
  EXPECT_FALSE(registry.HasValue(HKCU, u"T", u""));
  EXPECT_EQ(Sz(HKCU, u"T", u"V"), u"second");
}

TEST_F(RegistryScriptTest, AKeyThatOpensOnlyForReadingIsUsedAsItIs) {
  registry.PutKey(HKCU, u"RO\\Below");
  registry.DenyKey(HKCU, u"RO", reg::kSetValue | reg::kCreateSubKey);
  // Values cannot be written through the read-only handle (not reported);
  // existing subkeys still open.
  ASSERT_EQ(Register(u"HKCU { RO = s x { Below } }"), hr::kOk);
  EXPECT_FALSE(registry.HasValue(HKCU, u"RO", u""));
  // A new subkey cannot be created below it: the section fails.
  EXPECT_EQ(Register(u"HKCU { RO { New } }"), hr::kDispException);
  EXPECT_FALSE(registry.HasKey(HKCU, u"RO\\New"));
}

// --- ForceRemove, Delete and the protected names ---------------------------

TEST_F(RegistryScriptTest, ForceRemoveRecreatesTheKeyFromScratch) {
  registry.PutString(HKCU, u"Soft\\App\\Deep\\Deeper", u"v", u"old");
  registry.PutString(HKCU, u"Soft\\App", u"Stale", u"old");
  ASSERT_EQ(Register(u"HKCU { Soft { ForceRemove App = s new } }"), hr::kOk);
  EXPECT_EQ(Keys(HKCU), (std::vector<std::u16string>{u"Soft", u"Soft\\App"}));
  EXPECT_EQ(Sz(HKCU, u"Soft\\App", u""), u"new");
  EXPECT_FALSE(registry.HasValue(HKCU, u"Soft\\App", u"Stale"));
}

TEST_F(RegistryScriptTest, DeleteRemovesTheTreeAndCreatesNothing) {
  registry.PutString(HKCU, u"Soft\\Gone\\Child", u"v", u"old");
  ASSERT_EQ(Register(u"HKCU { Soft { Delete Gone = s ignored Delete NeverWas Next } }"), hr::kOk);
  EXPECT_FALSE(registry.HasKey(HKCU, u"Soft\\Gone"));
  EXPECT_FALSE(registry.HasKey(HKCU, u"Soft\\NeverWas"));
  EXPECT_TRUE(registry.HasKey(HKCU, u"Soft\\Next"));
}

TEST_F(RegistryScriptTest, ForcedRemovalNeverDeletesClsidOrTypeLib) {
  registry.PutString(HKCR, u"CLSID\\{1}", u"", u"class");
  registry.PutString(HKCR, u"TypeLib\\{2}\\1.0", u"", u"lib");
  registry.PutString(HKCR, u"Nested\\clsid\\{3}", u"", u"x");
  ASSERT_EQ(Register(u"HKCR { ForceRemove CLSID Delete TypeLib ForceRemove typelib "
                     u"Delete clsid Nested { Delete ClSiD ForceRemove TYPELIB } }"),
            hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCR, u"CLSID\\{1}"));
  EXPECT_TRUE(registry.HasKey(HKCR, u"TypeLib\\{2}\\1.0"));
  EXPECT_TRUE(registry.HasKey(HKCR, u"Nested\\clsid\\{3}"));
  EXPECT_TRUE(registry.HasKey(HKCR, u"Nested\\TYPELIB")) << "ForceRemove still creates what it names";
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::DeleteKey), 0u);
}

TEST_F(RegistryScriptTest, ForceRemoveMayBeFollowedByNoRemove) {
  registry.PutKey(HKCU, u"K\\Old");
  ASSERT_EQ(Register(u"HKCU { ForceRemove NoRemove K = s v }"), hr::kOk);
  EXPECT_FALSE(registry.HasKey(HKCU, u"K\\Old"));
  EXPECT_EQ(Sz(HKCU, u"K", u""), u"v");
  ASSERT_EQ(Unregister(u"HKCU { ForceRemove NoRemove K = s v }"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"K")) << "NoRemove keeps it";
}

// --- key names ------------------------------------------------------------

TEST_F(RegistryScriptTest, GuidLikeNamesAreKeyNamesInBothDirections) {
  const char16_t* script =
      u"HKCR { NoRemove AppID { {6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16} = s 'TALVMON' "
      u"{x} { {y} = s z } } }";
  ASSERT_EQ(Register(script), hr::kOk);
  EXPECT_EQ(Sz(HKCR, kIdentityKey, u""), u"TALVMON");
  EXPECT_EQ(Sz(HKCR, u"AppID\\{x}\\{y}", u""), u"z");
  EXPECT_EQ(registry.Dump(HKCR).size(), 6u);
  ASSERT_EQ(Unregister(script), hr::kOk);
  EXPECT_EQ(registry.Dump(HKCR), (std::vector<std::u16string>{u"AppID"}));
}

TEST_F(RegistryScriptTest, ABlockEndsAtAnyTokenThatBeginsWithAClosingBrace) {
  ASSERT_EQ(Register(u"HKCU { A }trailing"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"A"));
  ASSERT_EQ(Register(u"HKCU {opener B }"), hr::kOk) << "the root needs only a token beginning with {";
  EXPECT_TRUE(registry.HasKey(HKCU, u"B"));
}

TEST_F(RegistryScriptTest, AKeyNameWithABackslashOrEmptyIsRefusedEverywhere) {
  registry.PutKey(HKCU, u"A\\B");
  registry.PutKey(HKCU, u"Soft\\App");
  const auto before = registry.Dump(HKCU);
  for (const char16_t* script : {
           u"HKCU { A\\B }", u"HKCU { ForceRemove A\\B }", u"HKCU { Delete A\\B }",
           u"HKCU { NoRemove 'A\\B' }",
           // An empty name would open or delete the parent itself.
           u"HKCU { NoRemove Soft { '' } }", u"HKCU { NoRemove Soft { ForceRemove '' } }",
           u"HKCU { NoRemove Soft { Delete '' } }", u"HKCU { NoRemove Soft { NoRemove '' } }"}) {
    EXPECT_EQ(Register(script), hr::kDispException) << Narrow(script);
    EXPECT_EQ(Unregister(script), hr::kDispException) << Narrow(script);
    EXPECT_EQ(registry.Dump(HKCU), before) << Narrow(script);
  }
  // Also in a block walked for a key that is not there.
  EXPECT_EQ(Unregister(u"HKCU { Gone { '' } }"), hr::kDispException);
}

TEST_F(RegistryScriptTest, ABlockAfterADeleteOrValEntryBelongsToTheLastKey) {
  registry.PutKey(HKCU, u"Gone");
  ASSERT_EQ(Register(u"HKCU { K Delete Gone { Inner } val V = s x { Second } }"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"K\\Inner"));
  EXPECT_TRUE(registry.HasKey(HKCU, u"K\\Second"));
  EXPECT_FALSE(registry.HasKey(HKCU, u"Gone"));
  // Unregistration walks such a block without deleting anything in it.
  ASSERT_EQ(Unregister(u"HKCU { val V = s x { K } }"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"K\\Inner"));
  EXPECT_FALSE(registry.HasValue(HKCU, u"", u"V"));
  // With no key opened before it, there is nowhere to put it.
  EXPECT_EQ(Register(u"HKCU { Delete Gone { Inner } }"), hr::kDispException);
  EXPECT_EQ(Register(u"HKCU { { Inner } }"), hr::kDispException);
  EXPECT_FALSE(registry.HasKey(HKCU, u"Inner"));
}

TEST_F(RegistryScriptTest, BlocksNestAtMost512Deep) {
  auto nested = [](unsigned depth) {
    std::u16string s = u"HKCU ";
    for (unsigned i = 1; i < depth; ++i) s += u"{ k ";
    s += u"{ }";
    for (unsigned i = 1; i < depth; ++i) s += u" }";
    return s;
  };
  ASSERT_EQ(Register(nested(512)), hr::kOk);
  EXPECT_EQ(registry.Dump(HKCU).size(), 511u);
  ASSERT_EQ(Unregister(nested(512)), hr::kOk);
  EXPECT_TRUE(registry.Dump(HKCU).empty());
  EXPECT_EQ(Register(nested(513)), hr::kDispException);
  EXPECT_TRUE(registry.Dump(HKCU).empty()) << "the section was rolled back";
  EXPECT_EQ(Register(nested(100000)), hr::kDispException);
  EXPECT_TRUE(registry.Dump(HKCU).empty()) << "the section was rolled back";
  // Keys that are not there are walked without a limit.
  EXPECT_EQ(Unregister(nested(100000)), hr::kOk);
}

// --- unregistration -------------------------------------------------------

TEST_F(RegistryScriptTest, NoRemoveCarriesOverToLaterSiblings) {
  for (const char16_t* k : {u"P\\A", u"P\\B", u"P\\C", u"P\\D\\E"}) registry.PutKey(HKCU, k);
  ASSERT_EQ(Unregister(u"HKCU { NoRemove P { A NoRemove B C D { E } } }"), hr::kOk);
  EXPECT_FALSE(registry.HasKey(HKCU, u"P\\A")) << "before the NoRemove: deleted";
  EXPECT_TRUE(registry.HasKey(HKCU, u"P\\B"));
  EXPECT_TRUE(registry.HasKey(HKCU, u"P\\C")) << "no NoRemove of its own, kept all the same";
  EXPECT_TRUE(registry.HasKey(HKCU, u"P\\D"));
  EXPECT_FALSE(registry.HasKey(HKCU, u"P\\D\\E")) << "a nested block starts afresh";
  EXPECT_TRUE(registry.HasKey(HKCU, u"P"));
}

TEST_F(RegistryScriptTest, AKeyWithOnlyItsDefaultValueCountsAsEmpty) {
  registry.PutString(HKCU, u"S\\DefaultOnly", u"", u"x");
  registry.PutString(HKCU, u"S\\Named", u"n", u"x");
  registry.PutString(HKCU, u"S\\Two", u"", u"x");
  registry.PutString(HKCU, u"S\\Two", u"n", u"x");
  // Unlisted values do not keep a key: RegDeleteKey takes them with it.
  ASSERT_EQ(Unregister(u"HKCU { NoRemove S { DefaultOnly = s x Named Two = s x } }"), hr::kOk);
  EXPECT_EQ(registry.Dump(HKCU), (std::vector<std::u16string>{u"S"}));
}

TEST_F(RegistryScriptTest, AKeyThatStillHasSubkeysStaysAndLosesOnlyItsNamesake) {
  registry.PutKey(HKCU, u"K\\K\\Deep");
  registry.PutKey(HKCU, u"K\\Other");
  registry.PutKey(HKCU, u"K\\Listed");
  registry.PutString(HKCU, u"K", u"v", u"x");
  ASSERT_EQ(Unregister(u"HKCU { K = s x { Listed } }"), hr::kOk);
  EXPECT_FALSE(registry.HasKey(HKCU, u"K\\Listed"));
  EXPECT_FALSE(registry.HasKey(HKCU, u"K\\K")) << "the subkey of the key's own name goes";
  EXPECT_TRUE(registry.HasKey(HKCU, u"K\\Other"));
  EXPECT_TRUE(registry.HasValue(HKCU, u"K", u"v"));
}

TEST_F(RegistryScriptTest, TheNamesakeRuleSparesProtectedNames) {
  registry.PutKey(HKCR, u"CLSID\\CLSID");
  registry.PutKey(HKCR, u"CLSID\\{1}");
  registry.PutKey(HKCR, u"typelib\\TypeLib");
  ASSERT_EQ(Unregister(u"HKCR { CLSID TYPELIB }"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCR, u"CLSID\\CLSID"));
  EXPECT_TRUE(registry.HasKey(HKCR, u"TypeLib\\TypeLib"));
}

TEST_F(RegistryScriptTest, AMissingKeyIsWalkedInRecoveryAndTheNextEntryStartsAfresh) {
  registry.PutString(HKCU, u"S", u"V", u"kept");
  registry.PutKey(HKCU, u"S\\Present");
  registry.PutKey(HKCU, u"S\\Spared");
  // Inside the missing key's block, names that happen to exist under the
  // block's parent are not touched.
  ASSERT_EQ(Unregister(u"HKCU { NoRemove S { Missing = s x { val V = s x Spared { Deeper } } "
                       u"Present } }"),
            hr::kOk);
  EXPECT_TRUE(registry.HasValue(HKCU, u"S", u"V")) << "nothing is deleted in recovery";
  EXPECT_TRUE(registry.HasKey(HKCU, u"S\\Spared"));
  EXPECT_FALSE(registry.HasKey(HKCU, u"S\\Present")) << "the sibling after the missing key";
}

TEST_F(RegistryScriptTest, ValEntriesDeleteTheirValuesWhereTheParentHandleAllows) {
  registry.PutString(HKCU, u"", u"A", u"x");
  registry.PutString(HKCU, u"", u"B", u"x");
  registry.PutString(HKCU, u"", u"C", u"x");
  ASSERT_EQ(Unregister(u"HKCU { val A = s x val 'B' = d 1 val Missing = b 00 }"), hr::kOk);
  EXPECT_FALSE(registry.HasValue(HKCU, u"", u"A"));
  EXPECT_FALSE(registry.HasValue(HKCU, u"", u"B"));
  EXPECT_TRUE(registry.HasValue(HKCU, u"", u"C"));
  // Below a root the parent was opened for reading only: the registry
  // refuses the deletion, which is not reported.
  registry.PutString(HKCU, u"S", u"A", u"x");
  ASSERT_EQ(Unregister(u"HKCU { NoRemove S { val A = s x } }"), hr::kOk);
  EXPECT_TRUE(registry.HasValue(HKCU, u"S", u"A"));
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::DeleteValue), 4u);
}

TEST_F(RegistryScriptTest, RegisterThenUnregisterLeavesNothingBehind) {
  registry.PutString(HKLM, u"Software\\Other", u"v", u"x");
  auto before = registry.Dump(HKLM);
  const char16_t* script =
      u"HKLM { NoRemove Software { ForceRemove 'TALV Test' = s 'T' { val Path = s '%Module%' "
      u"val Size = d 10 val Blob = b 00ff Sub { Deeper = s '' } } } }";
  ASSERT_EQ(Register(script), hr::kOk);
  EXPECT_EQ(Sz(HKLM, u"Software\\TALV Test", u"Path"), u"C:\\talv\\talvmon.exe");
  ASSERT_EQ(Unregister(script), hr::kOk);
  EXPECT_EQ(registry.Dump(HKLM), before);
}

TEST_F(RegistryScriptTest, AFailingCloseEndsTheUnregistration) {
  registry.PutKey(HKCU, u"A");
  registry.PutKey(HKCU, u"B");
  registry.faults().FailNext(sim::SimRegistry::Op::Close, err::kInvalidHandle);
  EXPECT_EQ(Unregister(u"HKCU { A B }"), hr::kDispException);
  EXPECT_TRUE(registry.HasKey(HKCU, u"A"));
  EXPECT_TRUE(registry.HasKey(HKCU, u"B"));
  // The platform refused to close that one handle; nothing else is open.
  EXPECT_EQ(registry.OpenKeyCount(), 1u);
  RegKey leaked = 0x1000;  // the simulator's first handle
  EXPECT_EQ(registry.CloseKey(leaked), 0u);
}

TEST_F(RegistryScriptTest, DeletionsThatFailAreNotReported) {
  registry.PutString(HKCU, u"S\\A", u"v", u"x");
  registry.PutKey(HKCU, u"S\\B");
  registry.faults().FailAlways(sim::SimRegistry::Op::DeleteKey, err::kAccessDenied);
  registry.faults().FailAlways(sim::SimRegistry::Op::DeleteValue, err::kAccessDenied);
  EXPECT_EQ(Unregister(u"HKCU { S { A { val v = s x } B } }"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"S\\B"));
  EXPECT_TRUE(registry.HasValue(HKCU, u"S\\A", u"v"));
}

// --- roll-back and the failure table --------------------------------------

TEST_F(RegistryScriptTest, AFailedSecondSectionIsRolledBackAndTheFirstStays) {
  registry.PutKey(HKLM, u"Software\\Kept");
  registry.DenyKey(HKLM, u"Software\\Locked", reg::kAllAccess);
  EXPECT_EQ(Register(u"HKCU { First = s 1 } HKLM { Software { New = s 2 { Inner } Locked } }"),
            hr::kDispException);
  EXPECT_EQ(Sz(HKCU, u"First", u""), u"1");
  EXPECT_FALSE(registry.HasKey(HKLM, u"Software\\New"));
  EXPECT_TRUE(registry.HasKey(HKLM, u"Software\\Kept")) << "roll-back removes only its own keys";
  EXPECT_TRUE(registry.HasKey(HKLM, u"Software"));
}

TEST_F(RegistryScriptTest, UnregistrationStopsAtTheFirstFailingSection) {
  registry.PutKey(HKCU, u"One");
  registry.PutKey(HKLM, u"Two");
  EXPECT_EQ(Unregister(u"HKCU { One } HKXX { } HKLM { Two }"), hr::kDispException);
  EXPECT_FALSE(registry.HasKey(HKCU, u"One"));
  EXPECT_TRUE(registry.HasKey(HKLM, u"Two"));
}

TEST_F(RegistryScriptTest, EverySyntaxErrorIsDispException) {
  const char16_t* bad[] = {
      u"HKXX { }",                    // root name not in the table
      u"HKCU",                        // nothing after the root name
      u"HKCU A",                      // no brace after it
      u"HKCU { A",                    // end of text inside a block
      u"HKCU { A { B }",              // end of text in the outer block
      u"HKCU { A = s 'open }",        // unterminated quoted string
      u"HKCU { 'A }",                 // unterminated quoted key name
      u"HKCU { A = }",                // assignment without type and value
      u"HKCU { A = s",                // assignment without value
      u"HKCU { val }",                // Val without a name
      u"HKCU { val N s x }",          // Val without "="
      u"HKCU { val N == s x }",       // "=" must stand alone
      u"HKCU { A\\B }",               // backslash in a key name
      u"HKCU { ForceRemove }",        // ForceRemove at the end of the block
      u"HKCU { Delete",               // Delete at the end of the text
      u"HKCU { } }",                  // a stray brace where a root name belongs
  };
  for (const char16_t* text : bad) {
    EXPECT_EQ(Register(text), hr::kDispException) << Narrow(text);
    EXPECT_EQ(Unregister(text), hr::kDispException) << Narrow(text);
    ExpectClean();
  }
  EXPECT_FALSE(registry.HasKey(HKCU, u"A"));
}

TEST_F(RegistryScriptTest, UnknownValueTypesFailOnlyWhenRegistering) {
  for (const char16_t* text :
       {u"HKCU { A = x y }", u"HKCU { A = sz y }", u"HKCU { val N = q x }"}) {
    EXPECT_EQ(Register(text), hr::kDispException) << Narrow(text);
    EXPECT_FALSE(registry.HasKey(HKCU, u"A")) << "rolled back";
    // Unregistration reads the assignment without looking at its type.
    EXPECT_EQ(Unregister(text), hr::kOk) << Narrow(text);
  }
}

TEST_F(RegistryScriptTest, AKeyThatCannotBeCreatedIsDispExceptionAndRolledBack) {
  registry.faults().FailNth(sim::SimRegistry::Op::Create, 2, err::kAccessDenied);
  EXPECT_EQ(Register(u"HKCU { Made { Refused } }"), hr::kDispException);
  EXPECT_FALSE(registry.HasKey(HKCU, u"Made"));
  EXPECT_EQ(registry.faults().Calls(sim::SimRegistry::Op::DeleteKey), 1u)
      << "the roll-back deleted the key the section had made";
}

TEST_F(RegistryScriptTest, TheResultCodesOfTheFailureTable) {
  EXPECT_EQ(Register(u"HKCU { %nope% }"), hr::kDispException);
  EXPECT_EQ(Register(u"HKCU { %" + Repeat(u'x', 40) + u"% }"), hr::kFail);
  EXPECT_EQ(Register(u"HKCU { A = b 123 }"), hr::kFail);
  EXPECT_EQ(Register(u"HKCU { A = b 1234 }"), hr::kOk);
  memory.FailNth(1);
  EXPECT_EQ(Register(u"HKCU { A }"), hr::kOutOfMemory) << "the Module pair cannot be had";
}

}  // namespace
}  // namespace talv::testing
