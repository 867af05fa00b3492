// The module-resources port's contract, and the carried registry script run
// through the ports: the same expectations against the simulator and
// against Wine's loader and registry.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "registration/registry_script.h"
#include "tests/contract/contract_env.h"
#include "tests/contract/contract_resources.h"

namespace talv::contract {
namespace {

class ResourcesContract : public ::testing::Test {
 protected:
  void SetUp() override {
    loadedBefore_ = CurrentEnv().LoadedDataModules();
    path_ = CurrentEnv().ResourceModulePath();
  }
  void TearDown() override {
    // Every module a test loaded was freed again.
    EXPECT_EQ(CurrentEnv().LoadedDataModules(), loadedBefore_);
  }
  ModuleResources& res() { return CurrentEnv().resources(); }

  std::string_view Find(ModuleHandle m, const char16_t* type, std::uint16_t id) {
    const void* data = nullptr;
    std::uint32_t size = 77;
    WinError e = res().FindResource(m, type, id, &data, &size);
    EXPECT_EQ(e, 0u) << "resource " << id;
    if (e != 0 || data == nullptr) return {};
    return std::string_view(static_cast<const char*>(data), size);
  }

  std::u16string path_;
  long loadedBefore_ = 0;
};

TEST_F(ResourcesContract, GivesTheBytesOfEachResourceExactly) {
  UniqueDataModule m;
  ASSERT_EQ(Load(m, res(), path_.c_str()), 0u);
  ASSERT_TRUE(m);
  for (const ContractResource& r : kContractResources)
    EXPECT_EQ(Find(m.get(), r.type, r.id), r.bytes) << "resource " << r.id;
}

TEST_F(ResourcesContract, AnEmptyResourceHasAnAddressAndNoBytes) {
  UniqueDataModule m;
  ASSERT_EQ(Load(m, res(), path_.c_str()), 0u);
  const void* data = nullptr;
  std::uint32_t size = 77;
  ASSERT_EQ(res().FindResource(m.get(), u"TALVTEST", 10, &data, &size), 0u);
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(size, 0u);
}

TEST_F(ResourcesContract, TypeTextIsMatchedWithoutRegardToCase) {
  UniqueDataModule m;
  ASSERT_EQ(Load(m, res(), path_.c_str()), 0u);
  EXPECT_EQ(Find(m.get(), u"talvtest", 8), "xy");
  EXPECT_EQ(Find(m.get(), u"Registry", 100), kCarriedScriptBytes);
}

TEST_F(ResourcesContract, AMissingTypeOrIdentifierIsReportedAndGivesNoBytes) {
  UniqueDataModule m;
  ASSERT_EQ(Load(m, res(), path_.c_str()), 0u);
  const void* data = &data;
  std::uint32_t size = 77;
  EXPECT_EQ(res().FindResource(m.get(), u"NOSUCHTYPE", 7, &data, &size),
            err::kResourceTypeNotFound);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0u);
  data = &data;
  EXPECT_EQ(res().FindResource(m.get(), u"TALVTEST", 9, &data, &size), err::kResourceNameNotFound);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(res().FindResource(m.get(), u"REGISTRY", 101, &data, &size),
            err::kResourceNameNotFound);
}

TEST_F(ResourcesContract, FilesThatCannotBeLoadedAsModules) {
  ModuleHandle h = 0x1234;
  EXPECT_EQ(res().LoadAsData(u"C:\\windows\\no-such-module.exe", &h), err::kFileNotFound);
  EXPECT_EQ(h, 0u);
  h = 0x1234;
  EXPECT_EQ(res().LoadAsData(u"C:\\no-such-folder\\x.exe", &h), err::kFileNotFound);
  EXPECT_EQ(h, 0u);
  h = 0x1234;
  EXPECT_EQ(res().LoadAsData(CurrentEnv().PlainFilePath().c_str(), &h), 193u)  // bad format
      << "a file that is not a module";
  EXPECT_EQ(h, 0u);
  h = 0x1234;
  EXPECT_EQ(res().LoadAsData(u"", &h), err::kInvalidParameter);
  EXPECT_EQ(h, 0u);
}

TEST_F(ResourcesContract, EachLoadIsFreedOnceAndTheOwnerFreesOnEveryPath) {
  ModuleHandle a = 0, b = 0;
  ASSERT_EQ(res().LoadAsData(path_.c_str(), &a), 0u);
  ASSERT_EQ(res().LoadAsData(path_.c_str(), &b), 0u);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_EQ(res().Free(a), 0u);
  EXPECT_EQ(Find(b, u"TALVTEST", 8), "xy") << "the second load stands on its own";
  EXPECT_EQ(res().Free(b), 0u);
  {
    UniqueDataModule m;
    EXPECT_EQ(Load(m, res(), u"C:\\windows\\no-such-module.exe"), err::kFileNotFound);
    EXPECT_FALSE(m);
    ASSERT_EQ(Load(m, res(), path_.c_str()), 0u);
    UniqueDataModule moved = std::move(m);
    EXPECT_FALSE(m);
    EXPECT_TRUE(moved);
  }
  // The fixture checks that nothing stayed loaded.
}

TEST_F(ResourcesContract, TheProcessHasItsOwnModule) {
  EXPECT_NE(res().ProcessModule(), 0u);
  EXPECT_EQ(res().ProcessModule(), res().ProcessModule());
}

// --- the carried script through the ports --------------------------------

constexpr char16_t kIdentity[] = u"AppID\\{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}";
constexpr char16_t kExe[] = u"AppID\\TALVMON.EXE";

class CarriedScriptContract : public ResourcesContract {
 protected:
  void SetUp() override {
    ResourcesContract::SetUp();
    openBefore_ = CurrentEnv().OpenRegistryKeys();
    DeleteKeyTree(r(), reg::kClassesRoot, kIdentity);
    DeleteKeyTree(r(), reg::kClassesRoot, kExe);
  }
  void TearDown() override {
    DeleteKeyTree(r(), reg::kClassesRoot, kIdentity);
    DeleteKeyTree(r(), reg::kClassesRoot, kExe);
    EXPECT_EQ(CurrentEnv().OpenRegistryKeys(), openBefore_);
    ResourcesContract::TearDown();
  }
  Registry& r() { return CurrentEnv().registry(); }

  HResult RunCarried(ScriptDirection direction) {
    Env& env = CurrentEnv();
    CRegistryScript script(env.registry(), env.system(), env.resources());
    HResult hr = script.AddReplacement(u"Module", path_.c_str());
    if (hr != hr::kOk) return hr;
    return script.RunScriptResource(path_.c_str(), 100, u"REGISTRY", direction);
  }
  HResult RunText(const std::u16string& text, ScriptDirection direction) {
    Env& env = CurrentEnv();
    CRegistryScript script(env.registry(), env.system(), env.resources());
    return script.RunScriptText(text.c_str(), direction);
  }

  bool HasKey(RegKey root, const char16_t* path) {
    UniqueKey k;
    return Open(k, r(), root, path, reg::kRead) == 0;
  }
  // A string value's text, or "<missing>".
  std::u16string String(RegKey root, const char16_t* path, const char16_t* name) {
    UniqueKey k;
    if (Open(k, r(), root, path, reg::kRead) != 0) return u"<missing>";
    char16_t buf[512] = {};
    std::uint32_t size = sizeof buf - 2, type = 0;
    if (r().QueryValue(k.get(), name, &type, buf, &size) != 0) return u"<missing>";
    EXPECT_EQ(type, reg::kSz);
    return buf;
  }
  void PutString(RegKey root, const char16_t* path, const char16_t* name, std::u16string text) {
    UniqueKey k;
    ASSERT_EQ(Create(k, r(), root, path, reg::kAllAccess), 0u);
    ASSERT_EQ(r().SetValue(k.get(), name, reg::kSz, text.c_str(),
                           static_cast<std::uint32_t>((text.size() + 1) * 2)),
              0u);
  }

  long openBefore_ = 0;
};

TEST_F(CarriedScriptContract, RegistersAndUnregistersTheApplicationIdentity) {
  ASSERT_EQ(RunCarried(ScriptDirection::kRegister), hr::kOk);
  EXPECT_EQ(String(reg::kClassesRoot, kIdentity, u""), u"TALVMON");
  EXPECT_EQ(String(reg::kClassesRoot, kExe, u"AppID"), u"{6A1C7E52-3B94-4D0F-9E21-5C8A7D3F0B16}");
  // A second run finds what the first made and leaves it as it is.
  ASSERT_EQ(RunCarried(ScriptDirection::kRegister), hr::kOk);
  EXPECT_EQ(String(reg::kClassesRoot, kIdentity, u""), u"TALVMON");

  // What a service installation adds; unregistering takes it along.
  PutString(reg::kClassesRoot, kIdentity, u"LocalService", u"TALVMON");
  PutString(reg::kClassesRoot, kIdentity, u"ServiceParameters", u"");
  ASSERT_EQ(RunCarried(ScriptDirection::kUnregister), hr::kOk);
  EXPECT_FALSE(HasKey(reg::kClassesRoot, kIdentity));
  EXPECT_FALSE(HasKey(reg::kClassesRoot, kExe));
  EXPECT_TRUE(HasKey(reg::kClassesRoot, u"AppID"));
  // Nothing registered: nothing to do, and no error.
  EXPECT_EQ(RunCarried(ScriptDirection::kUnregister), hr::kOk);
}

TEST_F(CarriedScriptContract, AScriptUnderAScratchKeyRoundTrips) {
  ScratchKey scratch(u"CarriedScript");
  ASSERT_NE(scratch.key(), 0u);
  const std::u16string script =
      u"HKCU { NoRemove Software { NoRemove TalvContractTests { NoRemove CarriedScript {\r\n"
      u"  ForceRemove 'TALV Test' = s 'it''s' {\r\n"
      u"    val Size = d 4294967295\r\n"
      u"    val Blob = b 0aFF\r\n"
      u"    Sub { Deeper = s '' }\r\n"
      u"  }\r\n"
      u"  Kept { val V = s x }\r\n"
      u"} } } }\r\n";
  ASSERT_EQ(RunText(script, ScriptDirection::kRegister), hr::kOk);
  std::u16string base = scratch.path() + u"\\TALV Test";
  EXPECT_EQ(String(reg::kCurrentUser, base.c_str(), u""), u"it's");
  {
    UniqueKey k;
    ASSERT_EQ(Open(k, r(), reg::kCurrentUser, base.c_str(), reg::kRead), 0u);
    std::uint32_t v = 0, size = 4, type = 0;
    ASSERT_EQ(r().QueryValue(k.get(), u"Size", &type, &v, &size), 0u);
    EXPECT_EQ(type, reg::kDword);
    EXPECT_EQ(v, 4294967295u);
    std::uint8_t blob[4] = {};
    size = sizeof blob;
    ASSERT_EQ(r().QueryValue(k.get(), u"Blob", &type, blob, &size), 0u);
    EXPECT_EQ(type, reg::kBinary);
    ASSERT_EQ(size, 2u);
    EXPECT_EQ(blob[0], 0x0A);
    EXPECT_EQ(blob[1], 0xFF);
  }
  EXPECT_TRUE(HasKey(reg::kCurrentUser, (base + u"\\Sub\\Deeper").c_str()));

  // NoRemove keeps the scratch key and the keys above it; what the script
  // made below goes, values with their keys.
  std::u16string kept = scratch.path() + u"\\Kept";
  ASSERT_EQ(RunText(script, ScriptDirection::kUnregister), hr::kOk);
  EXPECT_FALSE(HasKey(reg::kCurrentUser, base.c_str()));
  EXPECT_FALSE(HasKey(reg::kCurrentUser, kept.c_str()));
  EXPECT_TRUE(HasKey(reg::kCurrentUser, scratch.path().c_str()));
}

TEST_F(CarriedScriptContract, ValDeletionThroughAReadOnlyParentIsRefused) {
  ScratchKey scratch(u"ValDeletion");
  ASSERT_NE(scratch.key(), 0u);
  PutString(reg::kCurrentUser, scratch.path().c_str(), u"V", u"x");
  ASSERT_EQ(RunText(u"HKCU { NoRemove Software { NoRemove TalvContractTests { "
                    u"NoRemove ValDeletion { val V = s x } } } }",
                    ScriptDirection::kUnregister),
            hr::kOk);
  EXPECT_EQ(String(reg::kCurrentUser, scratch.path().c_str(), u"V"), u"x");
}

}  // namespace
}  // namespace talv::contract
