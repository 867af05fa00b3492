// Applying a carried script: the module path and its short form, loading
// the resource, the replacement map, memory that runs out at every step,
// and the registry helpers the interpreter deletes with.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/sim/sim_libraries.h"
#include "tests/unit/registry_script_fixture.h"

namespace talv::testing {
namespace {

using Dir = ScriptDirection;
using Op = sim::SimRegistry::Op;
constexpr RegKey HKCR = reg::kClassesRoot;
constexpr RegKey HKCU = reg::kCurrentUser;

const char kProbeScript[] = "HKCU { Probe = s '%Module%' }";

// --- the module path ------------------------------------------------------

TEST_F(RegistryScriptTest, TheExecutableIsNamedAndLoadedByItsShortPath) {
  CarryScript(kProbeScript);
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"Probe", u""), kShortPath);
  EXPECT_EQ(resources.LastLoadedPath(), kShortPath);
  // The executable's own module handle is the same as no handle.
  registry.RemoveTree(HKCU, u"Probe");
  ASSERT_EQ(Apply(Dir::kRegister, sim::SimSystem::kExecutable), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"Probe", u""), kShortPath);
}

TEST_F(RegistryScriptTest, WithoutAShortFormTheLongPathIsUsed) {
  CarryScript(kProbeScript, kLongPath);
  system.faults().FailNext(sim::SimSystem::Op::ShortPathName, err::kFileNotFound);
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"Probe", u""), kLongPath);
  EXPECT_EQ(resources.LastLoadedPath(), kLongPath);
}

TEST_F(RegistryScriptTest, AnotherModuleIsNamedByItsLongPath) {
  system.SetModuleFileName(u"C:\\Program Files\\TALV\\helper.dll", 0x7000);
  system.DefineShortPath(u"C:\\Program Files\\TALV\\helper.dll", u"C:\\PROGRA~1\\TALV\\helper.dll");
  CarryScript(kProbeScript, u"C:\\Program Files\\TALV\\helper.dll");
  ASSERT_EQ(Apply(Dir::kRegister, 0x7000), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"Probe", u""), u"C:\\Program Files\\TALV\\helper.dll");
  EXPECT_EQ(system.faults().Calls(sim::SimSystem::Op::ShortPathName), 0u);
}

TEST_F(RegistryScriptTest, AShortFormThatDoesNotFitIsOutOfMemory) {
  std::u16string longShort = u"C:\\" + std::u16string(300, u'S') + u".exe";
  system.DefineShortPath(kLongPath, longShort);
  CarryScript(kProbeScript);
  EXPECT_EQ(Apply(Dir::kRegister), hr::kOutOfMemory);
  EXPECT_EQ(resources.LoadCalls(), 0u);
  EXPECT_FALSE(registry.HasKey(HKCU, u"Probe"));
}

TEST_F(RegistryScriptTest, AModulePathThatCannotBeHadIsThePlatformError) {
  CarryScript(kProbeScript);
  system.faults().FailNext(sim::SimSystem::Op::ModuleFileName, err::kModNotFound);
  EXPECT_EQ(Apply(Dir::kRegister), 0x8007007Eu);
  // A path cut to 260 units cannot name the module.
  system.SetModuleFileName(u"C:\\" + std::u16string(300, u'p') + u".exe");
  EXPECT_EQ(Apply(Dir::kRegister), 0x8007007Au);
  EXPECT_EQ(resources.LoadCalls(), 0u);
}

TEST_F(RegistryScriptTest, ExtraPairsFollowModuleInTheirOrder) {
  CarryScript("HKCU { Probe = s '%Module%' { val A = s %Product% val B = s '%Vendor%' } }");
  ScriptReplacement extra[] = {{u"Product", u"Wardstone"},
                               {u"Vendor", u"TALV O''Brien"},
                               {u"Module", u"ignored: the first pair of a name wins"},
                               {nullptr, u"past the end"}};
  ASSERT_EQ(Apply(Dir::kRegister, 0, extra), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"Probe", u""), kShortPath);
  EXPECT_EQ(Sz(HKCU, u"Probe", u"A"), u"Wardstone");
  EXPECT_EQ(Sz(HKCU, u"Probe", u"B"), u"TALV O'Brien")
      << "extra values are inserted unchanged: the caller doubles their apostrophes";
}

// --- the resource ---------------------------------------------------------

TEST_F(RegistryScriptTest, ModuleAndResourceFailuresAreThePlatformErrors) {
  // No module at the path.
  EXPECT_EQ(Apply(Dir::kRegister), 0x80070002u);
  // A file that is no module.
  resources.AddPlainFile(kShortPath);
  EXPECT_EQ(Apply(Dir::kRegister), 0x800700C1u);
  // A module without the type, or without the identifier.
  resources.AddResource(kShortPath, u"TYPELIB", 1, "x");
  EXPECT_EQ(Apply(Dir::kRegister), 0x80070715u);
  resources.AddResource(kShortPath, u"REGISTRY", 101, "HKCU { Wrong }");
  EXPECT_EQ(Apply(Dir::kRegister), 0x80070716u);
  // The loader failing on its own.
  CarryScript(kProbeScript);
  resources.faults().FailNext(sim::SimResources::Op::Load, err::kNotEnoughMemory);
  EXPECT_EQ(Apply(Dir::kRegister), 0x80070008u);
  resources.faults().FailNext(sim::SimResources::Op::Find, err::kResourceNotAvailable);
  EXPECT_EQ(Apply(Dir::kRegister), 0x8007138Eu);
  EXPECT_TRUE(registry.Dump(HKCU).empty());
  EXPECT_EQ(resources.LoadedCount(), 0u) << "a found module is freed on failure";
}

TEST_F(RegistryScriptTest, OnlyTheLowHalfOfTheErrorNumberCounts) {
  CarryScript(kProbeScript);
  resources.faults().FailNext(sim::SimResources::Op::Load, 0xFFFF0000u);  // low half 0
  EXPECT_EQ(Apply(Dir::kRegister), 0x80070000u);
  EXPECT_FALSE(registry.HasKey(HKCU, u"Probe"));
}

TEST_F(RegistryScriptTest, ResourceTypeIsFoundInAnyCase) {
  resources.AddResource(kShortPath, u"registry", 100, kProbeScript);
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"Probe"));
}

TEST_F(RegistryScriptTest, TheResourceTextEndsAtItsSizeOrItsFirstNul) {
  // Exactly its size, no terminator: a terminated copy is run.
  CarryScript("HKCU { Sized }");
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"Sized"));
  // Whatever follows a NUL byte is not part of the script.
  CarryScript(std::string("HKCU { Cut }\0 HKXX { garbage", 28));
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"Cut"));
  CarryScript(std::string());
  EXPECT_EQ(Apply(Dir::kRegister), hr::kOk) << "an empty resource is an empty script";
}

TEST_F(RegistryScriptTest, EightBitTextIsWidenedFromTheAnsiCodePage) {
  CarryScript("HKCU { 'Caf\xE9' = s '\xA9 TALV' }");
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"Caf\u00E9", u""), u"\u00A9 TALV");
}

TEST_F(RegistryScriptTest, AFailingConversionIsThePlatformError) {
  CarryScript(kProbeScript);
  system.faults().FailNext(sim::SimSystem::Op::AnsiToWide, 1113);  // no mapping
  EXPECT_EQ(Apply(Dir::kRegister), 0x80070459u);
  EXPECT_FALSE(registry.HasKey(HKCU, u"Probe"));
}

TEST_F(RegistryScriptTest, TheResultOfTheScriptIsTheResultOfTheRun) {
  CarryScript("HKCU { Partial } HKCU { Bad\\Name }");
  EXPECT_EQ(Apply(Dir::kRegister), hr::kDispException);
  EXPECT_TRUE(registry.HasKey(HKCU, u"Partial"));
}

// A stand-in for the platform's number conversion: hexadecimal after "&H"
// and decimal, as the real one takes them; anything else is a type mismatch.
struct NumberCall {
  std::u16string text;
  std::uint32_t lcid, flags;
};
std::vector<NumberCall> numberCalls;
HResult TALV_WINAPI FakeVarUI4FromStr(const char16_t* text, std::uint32_t lcid, std::uint32_t flags,
                                      std::uint32_t* out) {
  numberCalls.push_back({text, lcid, flags});
  std::u16string t(text);
  if (t == u"&H1F") *out = 31;
  else if (t == u"42") *out = 42;
  else return 0x80020005u;  // DISP_E_TYPEMISMATCH
  return hr::kOk;
}

TEST_F(RegistryScriptTest, NumbersGoThroughThePlatformsConversionWhereItIsThere) {
  CarryScript("HKCU { N { val Hex = d '&H1F' val Dec = d 42 val Bad = d 'x' } }");
  struct Case {
    bool library, exported;
    std::uint32_t hex, dec, bad;
    std::size_t calls;
  } cases[] = {
      {true, true, 31, 42, 0, 3},   // VarUI4FromStr, locale 0, no flags
      {true, false, 0, 42, 0, 0},   // the export missing: the own conversion
      {false, false, 0, 42, 0, 0},  // no oleaut32.dll at all
  };
  for (const Case& c : cases) {
    sim::SimLibraries libraries{&system};
    if (c.library) {
      std::map<std::string, ProcAddress> exports;
      if (c.exported) exports["VarUI4FromStr"] = reinterpret_cast<ProcAddress>(&FakeVarUI4FromStr);
      libraries.DefineLibrary(u"oleaut32.dll", exports);
    }
    numberCalls.clear();
    RegistryScriptPorts ports{registry, system, resources, &libraries};
    ASSERT_EQ(ApplyRegistryScript(ports, 0, 100, Dir::kRegister, nullptr, memory), hr::kOk);
    EXPECT_EQ(Dword(HKCU, u"N", u"Hex"), c.hex);
    EXPECT_EQ(Dword(HKCU, u"N", u"Dec"), c.dec);
    EXPECT_EQ(Dword(HKCU, u"N", u"Bad"), c.bad);
    ASSERT_EQ(numberCalls.size(), c.calls);
    for (const NumberCall& n : numberCalls) {
      EXPECT_EQ(n.lcid, 0u);
      EXPECT_EQ(n.flags, 0u);
    }
    if (c.calls != 0) {
      EXPECT_EQ(numberCalls[0].text, u"&H1F");
    }
    EXPECT_EQ(libraries.LoadedReferenceCount(), 0u) << "the library is released after the run";
  }
}

// --- memory -------------------------------------------------------------

TEST(ReplacementMap, GrowsFromTenByDoublingAndKeepsItsOrder) {
  CountingMemory memory;
  {
    CReplacementMap map(memory);
    EXPECT_EQ(map.Capacity(), 0u);
    for (int i = 0; i < 21; ++i) {
      std::u16string name = u"N" + std::u16string(1, static_cast<char16_t>(u'a' + i));
      std::u16string value = u"v" + name;
      ASSERT_EQ(map.Add(name.c_str(), value.c_str()), hr::kOk);
      if (i == 0) {
        EXPECT_EQ(map.Capacity(), 10u);
      }
      if (i == 10) {
        EXPECT_EQ(map.Capacity(), 20u);
      }
    }
    EXPECT_EQ(map.Capacity(), 40u);
    EXPECT_EQ(map.Count(), 21u);
    EXPECT_EQ(std::u16string(map.Lookup(u"NU", 2)), u"vNu");
    EXPECT_EQ(std::u16string(map.Lookup(u"nA+", 2)), u"vNa") << "only the given length counts";
    EXPECT_EQ(map.Lookup(u"N", 1), nullptr);
    EXPECT_EQ(map.Lookup(u"Nab", 3), nullptr);
  }
  EXPECT_EQ(memory.live(), 0);
}

TEST(ReplacementMap, EachPairOwnsCopiesOfItsTexts) {
  CReplacementMap map;
  std::u16string name = u"Module", value = u"C:\\a.exe";
  ASSERT_EQ(map.Add(name.c_str(), value.c_str()), hr::kOk);
  name[0] = u'X';
  value[0] = u'Z';
  EXPECT_EQ(std::u16string(map.Lookup(u"module", 6)), u"C:\\a.exe");
}

TEST(ReplacementMap, OutOfMemoryLeavesTheMapAsItWas) {
  CountingMemory memory;
  {
    CReplacementMap map(memory);
    memory.FailNth(1);  // the first list of pairs
    EXPECT_EQ(map.Add(u"A", u"1"), hr::kOutOfMemory);
    EXPECT_EQ(map.Count(), 0u);
    memory.FailNth(2);  // the copy of the name
    EXPECT_EQ(map.Add(u"A", u"1"), hr::kOutOfMemory);
    memory.FailNth(2);  // the copy of the value
    EXPECT_EQ(map.Add(u"A", u"1"), hr::kOutOfMemory);
    EXPECT_EQ(map.Count(), 0u);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(map.Add(u"A", u"1"), hr::kOk);
    memory.FailNth(1);  // the doubled list
    EXPECT_EQ(map.Add(u"B", u"2"), hr::kOutOfMemory);
    EXPECT_EQ(map.Count(), 10u);
    EXPECT_EQ(map.Capacity(), 10u);
    EXPECT_EQ(map.Lookup(u"B", 1), nullptr);
    EXPECT_EQ(map.Add(u"B", u"2"), hr::kOk);
    EXPECT_EQ(std::u16string(map.Lookup(u"b", 1)), u"2");
  }
  EXPECT_EQ(memory.live(), 0);
}

TEST_F(RegistryScriptTest, EveryAllocationThatFailsGivesOutOfMemoryAndLeavesNothing) {
  CarryScript(CarriedScriptBytes());
  // Count the allocations of one good run, then fail each one in turn.
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  const unsigned total = memory.calls();
  ASSERT_GE(total, 5u) << "pairs, two copies, the resource text, its conversion, ...";
  auto good = registry.Dump(HKCR);
  for (unsigned n = 1; n <= total; ++n) {
    registry.RemoveTree(HKCR, u"AppID");
    memory.FailNth(n);
    EXPECT_EQ(Apply(Dir::kRegister), hr::kOutOfMemory) << "allocation " << n;
    memory.Clear();
    ExpectClean();
    // Either nothing was written, or the whole script was (the map and the
    // texts come before the registry is touched).
    EXPECT_TRUE(registry.Dump(HKCR).empty()) << "allocation " << n;
  }
  registry.RemoveTree(HKCR, u"AppID");
  ASSERT_EQ(Apply(Dir::kRegister), hr::kOk);
  EXPECT_EQ(registry.Dump(HKCR), good);
}

TEST_F(RegistryScriptTest, TheExpandedTextGrowsByDoubling) {
  // A long Module value in a short script makes the expanded text outgrow
  // twice the input.
  std::u16string longValue(2000, u'm');
  CRegistryScript script(registry, system, resources, memory);
  ASSERT_EQ(script.AddReplacement(u"M", longValue.c_str()), hr::kOk);
  std::u16string text = u"HKCU { T = s %M%%M% }";
  ASSERT_EQ(script.RunScriptText(text.c_str(), Dir::kRegister), hr::kOk);
  EXPECT_EQ(Sz(HKCU, u"T", u""), longValue + longValue);
  // Without memory to grow, the run stops before the registry is touched.
  registry.RemoveTree(HKCU, u"T");
  memory.FailNth(2);  // the first buffer is had; the grown one is not
  EXPECT_EQ(script.RunScriptText(text.c_str(), Dir::kRegister), hr::kOutOfMemory);
  EXPECT_FALSE(registry.HasKey(HKCU, u"T"));
  memory.FailNth(3);  // expansion done; the working buffers cannot be had
  EXPECT_EQ(script.RunScriptText(text.c_str(), Dir::kRegister), hr::kOutOfMemory);
  EXPECT_FALSE(registry.HasKey(HKCU, u"T"));
}

TEST(ScriptPreprocess, ExpandsIntoANewBufferTheCallerFrees) {
  sim::SimRegistry registry;
  CountingMemory memory;
  CReplacementMap map(memory);
  ASSERT_EQ(map.Add(u"Module", u"C:\\x.exe"), hr::kOk);
  {
    CRegistryScriptParser parser(registry, map, memory);
    char16_t* out = nullptr;
    ASSERT_EQ(parser.PreprocessText(u"a%%b %module% c", &out), hr::kOk);
    EXPECT_EQ(std::u16string(out), u"a%b C:\\x.exe c");
    parser.FreeText(out);
    out = reinterpret_cast<char16_t*>(1);
    EXPECT_EQ(parser.PreprocessText(u"%Nope%", &out), hr::kDispException);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(memory.live(), 3) << "only the map's list and its one pair are left";
}

// --- registry helpers -----------------------------------------------------

TEST_F(RegistryScriptTest, DeleteKeyTreeRemovesEverythingBelowFirst) {
  registry.PutString(HKCU, u"T\\A\\B\\C", u"v", u"x");
  registry.PutKey(HKCU, u"T\\A\\D");
  registry.PutKey(HKCU, u"T\\E");
  registry.PutKey(HKCU, u"Kept");
  EXPECT_EQ(DeleteKeyTree(registry, HKCU, u"t"), 0u);
  EXPECT_EQ(Keys(HKCU), (std::vector<std::u16string>{u"Kept"}));
  EXPECT_EQ(DeleteKeyTree(registry, HKCU, u"T"), err::kFileNotFound);
}

TEST_F(RegistryScriptTest, DeleteKeyTreeStopsAtTheFirstError) {
  registry.PutKey(HKCU, u"T\\A\\Locked");
  registry.PutKey(HKCU, u"T\\B");
  registry.DenyKey(HKCU, u"T\\A\\Locked", 0x10000u);  // DELETE
  EXPECT_EQ(DeleteKeyTree(registry, HKCU, u"T"), err::kAccessDenied);
  EXPECT_TRUE(registry.HasKey(HKCU, u"T\\A\\Locked"));
  EXPECT_TRUE(registry.HasKey(HKCU, u"T\\B")) << "nothing after the first error";
  registry.ClearDenials();
  registry.DenyKey(HKCU, u"T", reg::kWrite);
  EXPECT_EQ(DeleteKeyTree(registry, HKCU, u"T"), err::kAccessDenied) << "opened for read and write";
  EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(RegistryScriptTest, KeyHasValuesIgnoresALoneDefaultValue) {
  registry.PutKey(HKCU, u"Empty");
  registry.PutString(HKCU, u"Default", u"", u"x");
  registry.PutString(HKCU, u"Named", u"n", u"x");
  registry.PutString(HKCU, u"Both", u"", u"x");
  registry.PutString(HKCU, u"Both", u"n", u"x");
  registry.PutKey(HKCU, u"Parent\\Child");
  auto check = [&](const char16_t* path, bool values, bool subKeys) {
    UniqueKey key;
    ASSERT_EQ(Open(key, registry, HKCU, path, reg::kRead), 0u);
    EXPECT_EQ(KeyHasValues(registry, key.get()), values) << Narrow(path);
    EXPECT_EQ(KeyHasSubKeys(registry, key.get()), subKeys) << Narrow(path);
  };
  check(u"Empty", false, false);
  check(u"Default", false, false);
  check(u"Named", true, false);
  check(u"Both", true, false);
  check(u"Parent", false, true);
  // Queries that fail count as nothing there.
  registry.faults().FailNext(Op::EnumValue, err::kAccessDenied);
  check(u"Named", false, false);
  registry.faults().FailAlways(Op::QueryInfo, err::kAccessDenied);
  check(u"Both", false, false);
  check(u"Parent", false, false);
}

TEST_F(RegistryScriptTest, AKeyWhoseContentsCannotBeQueriedCountsAsEmpty) {
  registry.PutString(HKCU, u"S\\K\\Child", u"v", u"x");
  // With its contents unknown S counts as empty: its block is walked without
  // deleting anything, and NoRemove keeps S itself.
  registry.faults().FailAlways(Op::QueryInfo, err::kAccessDenied);
  EXPECT_EQ(Unregister(u"HKCU { NoRemove S { K { Child } } }"), hr::kOk);
  EXPECT_TRUE(registry.HasKey(HKCU, u"S\\K\\Child"));
}

}  // namespace
}  // namespace talv::testing
