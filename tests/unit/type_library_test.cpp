// Type library registration on the simulated machine: which file the type
// library is loaded from, what is registered with which help directory, the
// run-time bound UnRegisterTypeLib, and the walk over a class table with
// its registry updates and component categories.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "registration/type_library.h"
#include "service/server_module.h"

namespace talv {
namespace {

using sim::SimCom;
using sim::SimLibraries;
using sim::SimRegistry;
using sim::SimSystem;
using sim::SimTypeLibraries;

constexpr RegKey HKCR = reg::kClassesRoot;
constexpr Guid kLibId{0x6A1C7E51u, 0x3B94, 0x4D0F, {0x9E, 0x21, 0x5C, 0x8A, 0x7D, 0x3F, 0x0B, 0x16}};
const std::u16string kLibKey = u"TypeLib\\{6A1C7E51-3B94-4D0F-9E21-5C8A7D3F0B16}";
const std::u16string kVersionKey = kLibKey + u"\\1.0";
const std::u16string kPathKey = kVersionKey + u"\\409\\win64";
const std::u16string kExe = u"C:\\Program Files\\TALV\\talvmon.exe";
constexpr HResult kAccessDenied = 0x80070005u;

// The identity talvmon.idl declares, as widl compiles it for x86-64.
SimTypeLibraries::Declaration Talvmon() {
  SimTypeLibraries::Declaration d;
  d.attributes.libid = kLibId;
  d.attributes.lcid = 0x409;
  d.attributes.syskind = tlb::kSysWin64;
  d.attributes.majorVersion = 1;
  d.attributes.minorVersion = 0;
  d.attributes.flags = tlb::kFlagHasDiskImage;
  d.name = u"TALVMONLib";
  d.helpString = u"TALVMON 1.0 Type Library";
  return d;
}

class TypeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module.InitServerModule(ProgramClassTable(), SimSystem::kExecutable, sim.com);
    ASSERT_EQ(sim.com.CoInitialize(), hr::kOk);
  }
  void TearDown() override {
    sim.com.CoUninitialize();
    // Everything opened on the way was let go again.
    EXPECT_EQ(sim.typeLibraries.OpenLibraryCount(), 0u);
    EXPECT_EQ(sim.typeLibraries.OpenAttributeCount(), 0u);
    EXPECT_EQ(sim.libraries.LoadedReferenceCount(), 0u);
    EXPECT_EQ(sim.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(sim.com.LiveCategoryRegistrars(), 0u);
  }
  // The executable at `exe`, carrying the type library or not.
  void Executable(const std::u16string& exe, bool carriesTypeLib = true) {
    sim.system.SetModuleFileName(exe);
    if (carriesTypeLib) sim.typeLibraries.AddModuleTypeLibrary(exe, Talvmon());
  }
  TypeLibraryPorts ports() { return TypeLibraryPorts(platform); }
  std::u16string Text(const std::u16string& key) { return sim.registry.GetString(HKCR, key, u""); }

  sim::SimPlatform sim;
  Platform platform = sim.platform();
  CServerModule module;
};

// --- the type library, with the program's empty class table ---------------

TEST_F(TypeLibraryTest, RegisterProgramRegistersTheExecutableWithItsDirectoryAsHelpDirectory) {
  Executable(kExe);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_EQ(sim.typeLibraries.LoadCalls(), std::vector<std::u16string>{kExe});
  EXPECT_EQ(Text(kVersionKey), u"TALVMON 1.0 Type Library");
  EXPECT_EQ(Text(kPathKey), kExe);
  EXPECT_EQ(Text(kVersionKey + u"\\HELPDIR"), u"C:\\Program Files\\TALV\\");
  EXPECT_EQ(Text(kVersionKey + u"\\FLAGS"), u"8");
  auto calls = sim.typeLibraries.RegisterCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].helpDirGiven);
  // No class, so no category manager either.
  EXPECT_TRUE(sim.com.CallsOf(SimCom::Op::CreateInstance).empty());
}

TEST_F(TypeLibraryTest, WithoutTheTypeLibSwitchNothingIsLoaded) {
  Executable(kExe);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, false, nullptr), hr::kOk);
  EXPECT_EQ(UnregisterModuleClasses(ports(), module, false, nullptr), hr::kOk);
  EXPECT_TRUE(sim.typeLibraries.LoadCalls().empty());
  EXPECT_FALSE(sim.registry.HasKey(HKCR, kLibKey));
}

TEST_F(TypeLibraryTest, TheTlbBesideAnExecutableThatCarriesNoneIsRegisteredInstead) {
  Executable(kExe, false);
  const std::u16string tlbPath = u"C:\\Program Files\\TALV\\talvmon.tlb";
  sim.typeLibraries.AddTypeLibraryFile(tlbPath, Talvmon());
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_EQ(sim.typeLibraries.LoadCalls(), (std::vector<std::u16string>{kExe, tlbPath}));
  EXPECT_EQ(Text(kPathKey), tlbPath) << "the path that loaded is recorded";
  EXPECT_EQ(Text(kVersionKey + u"\\HELPDIR"), u"C:\\Program Files\\TALV\\");
}

TEST_F(TypeLibraryTest, ExtensionReplacesEverythingFromTheLastDotWhereverItIs) {
  struct Case {
    const char16_t* exe;
    const char16_t* tlb;
  } cases[] = {
      // The only "." lies in a folder name: the rest of the path goes.
      {u"C:\\TALV.Wardstone\\talvmon", u"C:\\TALV.tlb"},
      // No "." at all: appended.
      {u"C:\\talv\\talvmon", u"C:\\talv\\talvmon.tlb"},
      // The last of several.
      {u"C:\\a.b\\talvmon.1.exe", u"C:\\a.b\\talvmon.1.tlb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tlb, c.tlb + std::char_traits<char16_t>::length(c.tlb)));
    sim::SimPlatform fresh;
    Platform p = fresh.platform();
    CServerModule m;
    m.InitServerModule(ProgramClassTable(), SimSystem::kExecutable, fresh.com);
    fresh.system.SetModuleFileName(c.exe);
    fresh.typeLibraries.AddTypeLibraryFile(c.tlb, Talvmon());
    std::u16string path;
    TypeLibHandle lib = 0;
    EXPECT_EQ(LoadModuleTypeLibrary(TypeLibraryPorts(p), m, nullptr, &path, &lib), hr::kOk);
    EXPECT_EQ(path, c.tlb);
    EXPECT_NE(lib, 0u);
    fresh.typeLibraries.Release(lib);
    EXPECT_EQ(fresh.typeLibraries.OpenLibraryCount(), 0u);
  }
}

TEST_F(TypeLibraryTest, WhenNeitherFileLoadsTheSecondLoadsStatusIsReturned) {
  Executable(kExe, false);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), tlb::kCantLoadLibrary);
  EXPECT_EQ(sim.typeLibraries.LoadCalls().size(), 2u);
  EXPECT_TRUE(sim.typeLibraries.RegisterCalls().empty());

  // Two different failures: the second one is the answer.
  sim.typeLibraries.AddModuleTypeLibrary(kExe, Talvmon());
  sim.typeLibraries.faults().FailNext(SimTypeLibraries::Op::Load, kAccessDenied);
  sim.typeLibraries.faults().FailNth(SimTypeLibraries::Op::Load, 2, hr::kOutOfMemory);
  EXPECT_EQ(RegisterTypeLibrary(ports(), module, nullptr), hr::kOutOfMemory);
}

TEST_F(TypeLibraryTest, AFailedFirstLoadFallsBackEvenWhenTheExecutableCarriesOne) {
  Executable(kExe);
  sim.typeLibraries.AddTypeLibraryFile(u"C:\\Program Files\\TALV\\talvmon.tlb", Talvmon());
  sim.typeLibraries.faults().FailNext(SimTypeLibraries::Op::Load, kAccessDenied);
  EXPECT_EQ(RegisterTypeLibrary(ports(), module, nullptr), hr::kOk);
  EXPECT_EQ(Text(kPathKey), u"C:\\Program Files\\TALV\\talvmon.tlb");
}

TEST_F(TypeLibraryTest, AnIndexTextIsAppendedToTheModulePath) {
  Executable(kExe, false);
  sim.typeLibraries.AddModuleTypeLibrary(kExe, Talvmon(), 2);
  EXPECT_EQ(RegisterTypeLibrary(ports(), module, u"\\2"), hr::kOk);
  EXPECT_EQ(Text(kPathKey), kExe + u"\\2");
  EXPECT_EQ(Text(kVersionKey + u"\\HELPDIR"), kExe + u"\\") << "cut after the last backslash";
}

TEST_F(TypeLibraryTest, AHelpDirectoryEndsAfterTheLastSlashOrColon) {
  for (const char16_t* exe : {u"C:/talv/talvmon.exe", u"C:talvmon.exe"}) {
    sim::SimPlatform fresh;
    Platform p = fresh.platform();
    CServerModule m;
    m.InitServerModule(ProgramClassTable(), SimSystem::kExecutable, fresh.com);
    fresh.system.SetModuleFileName(exe);
    fresh.typeLibraries.AddModuleTypeLibrary(exe, Talvmon());
    EXPECT_EQ(RegisterTypeLibrary(TypeLibraryPorts(p), m, nullptr), hr::kOk);
    auto calls = fresh.typeLibraries.RegisterCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].helpDir, exe[2] == u'/' ? u"C:/talv/" : u"C:");
  }
}

// --- paths that do not fit their buffer -----------------------------------

TEST_F(TypeLibraryTest, AModuleNameTooLongForItsBufferFailsWithoutLoading) {
  Executable(u"C:\\" + std::u16string(300, u'x') + u".exe");
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), kTypeLibPathTooLong);
  EXPECT_EQ(kTypeLibPathTooLong, 0x8007007Au);
  EXPECT_TRUE(sim.typeLibraries.LoadCalls().empty());
  EXPECT_FALSE(sim.registry.HasKey(HKCR, kLibKey));
}

TEST_F(TypeLibraryTest, TheLongestModuleNameStillLoads) {
  const std::u16string exe = u"C:\\" + std::u16string(252, u'x') + u".exe";
  ASSERT_EQ(exe.size(), 259u);
  Executable(exe);
  EXPECT_EQ(RegisterTypeLibrary(ports(), module, nullptr), hr::kOk);
  EXPECT_EQ(Text(kPathKey), exe);
}

TEST_F(TypeLibraryTest, AnIndexOrExtensionThatWouldOverrunTheBufferFailsCleanly) {
  // 259 units without a ".": an index of 10 fits (269 and the terminator),
  // but ".tlb" appended after it would not.
  const std::u16string exe = u"C:\\" + std::u16string(256, u'x');
  Executable(exe, false);
  std::u16string path;
  TypeLibHandle lib = 0;
  EXPECT_EQ(LoadModuleTypeLibrary(ports(), module, u"\\123456789", &path, &lib),
            kTypeLibPathTooLong);
  EXPECT_EQ(sim.typeLibraries.LoadCalls(),
            std::vector<std::u16string>{exe + u"\\123456789"});
  // One unit more does not fit at all.
  EXPECT_EQ(LoadModuleTypeLibrary(ports(), module, u"\\1234567890", &path, &lib),
            kTypeLibPathTooLong);
  EXPECT_EQ(sim.typeLibraries.LoadCalls().size(), 1u);
  EXPECT_EQ(lib, 0u);
  EXPECT_TRUE(path.empty());
}

TEST_F(TypeLibraryTest, AFailingModuleFileNameGivesItsError) {
  Executable(kExe);
  sim.system.faults().FailNext(SimSystem::Op::ModuleFileName, err::kAccessDenied);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), kAccessDenied);
  EXPECT_TRUE(sim.typeLibraries.LoadCalls().empty());
}

// --- registering fails ----------------------------------------------------

TEST_F(TypeLibraryTest, ARegisterTypeLibFailureIsReturnedAndTheLibraryReleased) {
  Executable(kExe);
  sim.typeLibraries.faults().FailNext(SimTypeLibraries::Op::Register, tlb::kRegistryAccess);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), tlb::kRegistryAccess);
  // The registry refusing a key makes the platform's call fail the same way.
  sim.registry.faults().FailNext(SimRegistry::Op::Create, err::kAccessDenied);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), tlb::kRegistryAccess);
}

// --- unregistering --------------------------------------------------------

TEST_F(TypeLibraryTest, UnregistrationRemovesTheLibraryKeyThroughOleaut32) {
  Executable(kExe);
  ASSERT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_EQ(UnregisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_FALSE(sim.registry.HasKey(HKCR, kLibKey));
  auto calls = sim.typeLibraries.UnregisterCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].libid, kLibId);
  EXPECT_EQ(calls[0].major, 1);
  EXPECT_EQ(calls[0].minor, 0);
  EXPECT_EQ(calls[0].lcid, 0x409u);
  EXPECT_EQ(calls[0].syskind, tlb::kSysWin64);
  EXPECT_EQ(sim.libraries.LoadCallCount(u"oleaut32.dll"), 1u);
}

TEST_F(TypeLibraryTest, UnregisteringWhatIsNotRegisteredIsIgnored) {
  Executable(kExe);
  EXPECT_EQ(UnregisterTypeLibrary(ports(), module, nullptr), hr::kOk) << "the load's status";
  auto calls = sim.typeLibraries.UnregisterCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].result, hr::kInvalidArg);
}

TEST_F(TypeLibraryTest, WithoutUnRegisterTypeLibTheRegistrationStays) {
  Executable(kExe);
  ASSERT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);

  sim.libraries.RemoveExport(u"oleaut32.dll", "UnRegisterTypeLib");
  EXPECT_EQ(UnregisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_TRUE(sim.registry.HasKey(HKCR, kPathKey));
  EXPECT_EQ(sim.libraries.LoadCallCount(u"oleaut32.dll"), 1u) << "loaded, and freed again";

  sim.libraries.RemoveLibrary(u"oleaut32.dll");
  EXPECT_EQ(UnregisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_TRUE(sim.registry.HasKey(HKCR, kPathKey));
  EXPECT_TRUE(sim.typeLibraries.UnregisterCalls().empty());
}

TEST_F(TypeLibraryTest, FailingLookupsOfUnRegisterTypeLibLeaveTheRegistration) {
  Executable(kExe);
  ASSERT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  sim.libraries.faults().FailNext(SimLibraries::Op::Load, err::kAccessDenied);
  EXPECT_EQ(UnregisterTypeLibrary(ports(), module, nullptr), hr::kOk);
  sim.libraries.faults().FailNext(SimLibraries::Op::GetProc, err::kProcNotFound);
  EXPECT_EQ(UnregisterTypeLibrary(ports(), module, nullptr), hr::kOk);
  sim.typeLibraries.faults().FailNext(SimTypeLibraries::Op::GetLibAttr, hr::kOutOfMemory);
  EXPECT_EQ(UnregisterTypeLibrary(ports(), module, nullptr), hr::kOk);
  EXPECT_EQ(sim.libraries.LoadCallCount(u"oleaut32.dll"), 2u) << "none without attributes";
  EXPECT_TRUE(sim.registry.HasKey(HKCR, kPathKey));
  EXPECT_TRUE(sim.typeLibraries.UnregisterCalls().empty());
}

TEST_F(TypeLibraryTest, AFailingUnRegisterTypeLibIsIgnored) {
  Executable(kExe);
  ASSERT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  sim.typeLibraries.faults().FailNext(SimTypeLibraries::Op::Unregister, tlb::kRegistryAccess);
  EXPECT_EQ(UnregisterTypeLibrary(ports(), module, nullptr), hr::kOk);
  EXPECT_TRUE(sim.registry.HasKey(HKCR, kPathKey));
}

TEST_F(TypeLibraryTest, UnregistrationWithoutATypeLibraryDoesNothingMore) {
  Executable(kExe, false);
  EXPECT_EQ(UnregisterTypeLibrary(ports(), module, nullptr), tlb::kCantLoadLibrary);
  EXPECT_EQ(UnregisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_EQ(sim.libraries.LoadCallCount(u"oleaut32.dll"), 0u);
}

// --- a class table with classes -------------------------------------------

constexpr Guid kClassA{0xA0000001u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr Guid kClassB{0xB0000002u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr Guid kClassC{0xC0000003u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr Guid kClassD{0xD0000004u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr Guid kCat1{0xCA000001u, 9, 9, {9, 9, 9, 9, 9, 9, 9, 1}};
constexpr Guid kCat2{0xCA000002u, 9, 9, {9, 9, 9, 9, 9, 9, 9, 2}};
constexpr Guid kCat3{0xCA000003u, 9, 9, {9, 9, 9, 9, 9, 9, 9, 3}};

// What the table's functions were asked, in order; reset by the fixture.
struct Seen {
  std::vector<std::string> calls;
  HResult updateResult[4] = {0, 0, 0, 0};
};
Seen g_seen;

template <int N>
HResult Update(bool doRegister) {
  g_seen.calls.push_back(std::string(1, static_cast<char>('A' + N)) +
                         (doRegister ? "+" : "-"));
  return g_seen.updateResult[N];
}
const char16_t* Described() { return u"described elsewhere"; }
const char16_t* NotDescribed() { return nullptr; }
// A implements 1 and requires 2 (kind 2) and 3 (kind -1).
const CategoryMapEntry* CategoriesA() {
  static const CategoryMapEntry map[] = {{1, kCat1}, {2, kCat2}, {-1, kCat3}, {0, {}}};
  g_seen.calls.push_back("mapA");
  return map;
}
const CategoryMapEntry* CategoriesD() {
  static const CategoryMapEntry map[] = {{1, kCat2}, {0, {}}};
  g_seen.calls.push_back("mapD");
  return map;
}

// A: categories; B: has a description; C: no category map; D: a
// description getter that yields none.
ClassTableEntry* ClassTable() {
  static ClassTableEntry table[5];
  table[0] = ClassTableEntry{};
  table[0].clsid = &kClassA;
  table[0].updateRegistry = &Update<0>;
  table[0].getCategoryMap = &CategoriesA;
  table[1] = ClassTableEntry{};
  table[1].clsid = &kClassB;
  table[1].updateRegistry = &Update<1>;
  table[1].getDescription = &Described;
  table[2] = ClassTableEntry{};
  table[2].clsid = &kClassC;
  table[2].updateRegistry = &Update<2>;
  table[3] = ClassTableEntry{};
  table[3].clsid = &kClassD;
  table[3].updateRegistry = &Update<3>;
  table[3].getDescription = &NotDescribed;
  table[3].getCategoryMap = &CategoriesD;
  table[4] = ClassTableEntry{};
  return table;
}

class ClassTableTest : public TypeLibraryTest {
 protected:
  void SetUp() override {
    TypeLibraryTest::SetUp();
    g_seen = Seen{};
    module.classTable = ClassTable();
    Executable(kExe);
  }
  std::vector<SimCom::Op> CategoryOps() {
    std::vector<SimCom::Op> ops;
    for (const SimCom::Call& c : sim.com.Calls())
      if (c.op != SimCom::Op::Initialize && c.op != SimCom::Op::Uninitialize) ops.push_back(c.op);
    return ops;
  }
};

TEST_F(ClassTableTest, EachUndescribedClassIsRegisteredWithItsCategoriesThenTheTypeLibrary) {
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"A+", "mapA", "C+", "D+", "mapD"}))
      << "B has a description; D's getter yields none";
  using Op = SimCom::Op;
  EXPECT_EQ(CategoryOps(),
            (std::vector<Op>{Op::CreateInstance, Op::RegisterImplCategories,
                             Op::RegisterReqCategories, Op::RegisterReqCategories,
                             Op::CreateInstance, Op::RegisterImplCategories}));
  auto create = sim.com.CallsOf(Op::CreateInstance);
  EXPECT_EQ(create[0].clsid, com::kClsidStdComponentCategoriesMgr);
  EXPECT_EQ(create[0].context, com::kInprocServer);
  EXPECT_TRUE(sim.com.ClassHasCategory(kClassA, kCat1, true));
  EXPECT_TRUE(sim.com.ClassHasCategory(kClassA, kCat2, false));
  EXPECT_TRUE(sim.com.ClassHasCategory(kClassA, kCat3, false)) << "any non-zero kind but 1";
  EXPECT_TRUE(sim.com.ClassHasCategory(kClassD, kCat2, true));
  EXPECT_TRUE(sim.registry.HasKey(HKCR, kPathKey));
}

TEST_F(ClassTableTest, ASingleClassIsChosenByItsIdentifierDescribedOrNot) {
  EXPECT_EQ(RegisterModuleClasses(ports(), module, false, &kClassB), hr::kOk);
  EXPECT_EQ(g_seen.calls, std::vector<std::string>{"B+"});
  EXPECT_TRUE(sim.com.CallsOf(SimCom::Op::CreateInstance).empty()) << "B has no category map";
  g_seen.calls.clear();
  EXPECT_EQ(UnregisterModuleClasses(ports(), module, false, &kClassA), hr::kOk);
  EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"A-", "mapA"}));
  g_seen.calls.clear();
  constexpr Guid kNotInTable{0xA0000001u, 1, 2, {1, 2, 3, 4, 5, 6, 7, 9}};
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, &kNotInTable), hr::kOk);
  EXPECT_TRUE(g_seen.calls.empty()) << "all 16 bytes must match";
  EXPECT_TRUE(sim.registry.HasKey(HKCR, kPathKey));
}

TEST_F(ClassTableTest, ARegistryUpdateFailureStopsRegistrationBeforeTheTypeLibrary) {
  g_seen.updateResult[2] = kAccessDenied;
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), kAccessDenied);
  EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"A+", "mapA", "C+"}));
  EXPECT_TRUE(sim.typeLibraries.LoadCalls().empty());
  EXPECT_FALSE(sim.registry.HasKey(HKCR, kLibKey)) << "the type library is not registered";

  // The first class failing stops before its categories.
  g_seen = Seen{};
  g_seen.updateResult[0] = hr::kFail;
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kFail);
  EXPECT_EQ(g_seen.calls, std::vector<std::string>{"A+"});
}

TEST_F(ClassTableTest, ACategoryFailureStopsRegistrationAndReleasesTheManager) {
  sim.com.faults().FailNext(SimCom::Op::RegisterReqCategories, kAccessDenied);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), kAccessDenied);
  EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"A+", "mapA"}));
  // The third category is not tried after the second failed.
  EXPECT_EQ(sim.com.CallsOf(SimCom::Op::RegisterReqCategories).size(), 1u);
  EXPECT_EQ(sim.com.LiveCategoryRegistrars(), 0u);
  EXPECT_FALSE(sim.registry.HasKey(HKCR, kLibKey));
}

TEST_F(ClassTableTest, WithoutTheCategoriesManagerClassesAreStillRegistered) {
  sim.com.SetCategoryManagerAvailable(false);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"A+", "mapA", "C+", "D+", "mapD"}));
  EXPECT_TRUE(sim.com.CallsOf(SimCom::Op::RegisterImplCategories).empty());
  EXPECT_TRUE(sim.registry.HasKey(HKCR, kPathKey));

  sim.com.SetCategoryManagerAvailable(true);
  sim.com.faults().FailAlways(SimCom::Op::CreateInstance, hr::kOutOfMemory);
  EXPECT_EQ(RegisterModuleClasses(ports(), module, false, nullptr), hr::kOk);
}

TEST_F(ClassTableTest, UnregistrationVisitsEveryClassAndIgnoresEveryFailure) {
  ASSERT_EQ(RegisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  g_seen.calls.clear();
  sim.com.ClearCalls();
  g_seen.updateResult[0] = kAccessDenied;
  g_seen.updateResult[2] = kAccessDenied;
  sim.com.faults().FailNext(SimCom::Op::UnRegisterImplCategories, kAccessDenied);
  EXPECT_EQ(UnregisterModuleClasses(ports(), module, true, nullptr), hr::kOk);
  EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"A-", "mapA", "C-", "D-", "mapD"}));
  using Op = SimCom::Op;
  EXPECT_EQ(CategoryOps(),
            (std::vector<Op>{Op::CreateInstance, Op::UnRegisterImplCategories,
                             Op::UnRegisterReqCategories, Op::UnRegisterReqCategories,
                             Op::CreateInstance, Op::UnRegisterImplCategories}));
  EXPECT_TRUE(sim.com.ClassHasCategory(kClassA, kCat1, true)) << "its removal failed";
  EXPECT_FALSE(sim.com.ClassHasCategory(kClassA, kCat2, false));
  EXPECT_FALSE(sim.com.ClassHasCategory(kClassD, kCat2, true));
  EXPECT_FALSE(sim.registry.HasKey(HKCR, kLibKey)) << "and the type library after them";
}

// --- categories on their own ----------------------------------------------

TEST_F(TypeLibraryTest, NoCategoryListSucceedsWithoutTheManager) {
  EXPECT_EQ(RegisterClassCategories(sim.com, kClassA, nullptr, true), hr::kOk);
  EXPECT_TRUE(sim.com.CallsOf(SimCom::Op::CreateInstance).empty());
  // An empty list still makes (and releases) the manager.
  const CategoryMapEntry empty[] = {{0, {}}};
  EXPECT_EQ(RegisterClassCategories(sim.com, kClassA, empty, true), hr::kOk);
  EXPECT_EQ(sim.com.CallsOf(SimCom::Op::CreateInstance).size(), 1u);
}

TEST_F(TypeLibraryTest, TheFirstCategoryFailureIsReturnedAndLaterOnesAreNotTried) {
  const CategoryMapEntry map[] = {{1, kCat1}, {1, kCat2}, {3, kCat3}, {0, {}}};
  sim.com.faults().FailNth(SimCom::Op::RegisterImplCategories, 2, hr::kOutOfMemory);
  EXPECT_EQ(RegisterClassCategories(sim.com, kClassA, map, true), hr::kOutOfMemory);
  auto impl = sim.com.CallsOf(SimCom::Op::RegisterImplCategories);
  ASSERT_EQ(impl.size(), 2u);
  EXPECT_EQ(impl[0].clsid, kClassA);
  EXPECT_EQ(impl[0].category, kCat1);
  EXPECT_EQ(impl[1].category, kCat2);
  EXPECT_TRUE(sim.com.CallsOf(SimCom::Op::RegisterReqCategories).empty());

  // Unregistering goes on past failures and still succeeds.
  sim.com.faults().FailAlways(SimCom::Op::UnRegisterImplCategories, hr::kOutOfMemory);
  sim.com.faults().FailAlways(SimCom::Op::UnRegisterReqCategories, hr::kOutOfMemory);
  EXPECT_EQ(RegisterClassCategories(sim.com, kClassA, map, false), hr::kOk);
  EXPECT_EQ(sim.com.CallsOf(SimCom::Op::UnRegisterImplCategories).size(), 2u);
  EXPECT_EQ(sim.com.CallsOf(SimCom::Op::UnRegisterReqCategories).size(), 1u);
}

}  // namespace
}  // namespace talv
