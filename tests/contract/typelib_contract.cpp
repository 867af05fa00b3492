// The type-library port's contract, with UnRegisterTypeLib bound from
// "oleaut32.dll" through the library port: loading, attributes and
// documentation, and what a registration writes under HKEY_CLASSES_ROOT,
// against the simulator and against Wine's oleaut32.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/contract/contract_env.h"
#include "tests/contract/contract_typelib.h"

namespace talv::contract {
namespace {

class TypeLibContract : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteKeyTree(reg(), reg::kClassesRoot, kContractLibKey);
    librariesBefore_ = CurrentEnv().LoadedTypeLibraries();
    referencesBefore_ = CurrentEnv().LoadedLibraryReferences();
    path_ = CurrentEnv().ContractTypeLibraryPath();
  }
  void TearDown() override {
    DeleteKeyTree(reg(), reg::kClassesRoot, kContractLibKey);
    EXPECT_EQ(CurrentEnv().LoadedTypeLibraries(), librariesBefore_);
    EXPECT_EQ(CurrentEnv().LoadedLibraryReferences(), referencesBefore_);
  }
  TypeLibraries& tl() { return CurrentEnv().typeLibraries(); }
  Registry& reg() { return CurrentEnv().registry(); }

  // The default value of a key under HKEY_CLASSES_ROOT, or "<missing>".
  std::u16string DefaultText(const std::u16string& key) {
    UniqueKey k;
    if (Open(k, reg(), reg::kClassesRoot, key.c_str(), reg::kRead) != 0) return u"<missing>";
    char16_t text[300] = {};
    std::uint32_t type = 0;
    std::uint32_t size = sizeof text - sizeof(char16_t);
    if (reg().QueryValue(k.get(), nullptr, &type, text, &size) != 0) return u"<missing>";
    EXPECT_EQ(type, reg::kSz) << "key " << std::string(key.begin(), key.end());
    return std::u16string(text);
  }
  bool HasKey(const std::u16string& key) {
    UniqueKey k;
    return Open(k, reg(), reg::kClassesRoot, key.c_str(), reg::kRead) == 0;
  }
  std::u16string VersionKey() { return std::u16string(kContractLibKey) + u"\\2.1"; }

  // UnRegisterTypeLib for the contract library, bound as the program binds it.
  HResult Unregister(std::uint16_t major, std::uint16_t minor) {
    Libraries& libs = CurrentEnv().libraries();
    UniqueLibrary oleaut;
    EXPECT_EQ(Load(oleaut, libs, tlb::kOleAutomationLibrary), 0u);
    auto fn = reinterpret_cast<UnRegisterTypeLibFn>(
        libs.GetProc(oleaut.get(), tlb::kUnRegisterTypeLibExport));
    EXPECT_NE(fn, nullptr);
    if (fn == nullptr) return hr::kFail;
    return fn(kContractLibId, major, minor, kContractLibLcid, kContractLibSysKind);
  }

  std::u16string path_;
  long librariesBefore_ = 0;
  long referencesBefore_ = 0;
};

TEST_F(TypeLibContract, AFileThatIsNoTypeLibraryCannotBeLoaded) {
  for (const std::u16string& p :
       {std::u16string(u"C:\\talv\\no such folder\\missing.tlb"), CurrentEnv().PlainFilePath(),
        std::u16string()}) {
    TypeLibHandle lib = 0;
    EXPECT_EQ(tl().LoadTypeLib(p.c_str(), &lib), tlb::kCantLoadLibrary)
        << std::string(p.begin(), p.end());
    EXPECT_EQ(lib, 0u);
  }
}

TEST_F(TypeLibContract, TheLibraryGivesItsIdentityAndDocumentation) {
  UniqueTypeLib lib;
  ASSERT_EQ(LoadTypeLib(lib, tl(), path_.c_str()), hr::kOk);
  ASSERT_NE(lib.get(), 0u);
  UniqueTypeLibAttr a;
  ASSERT_EQ(GetLibAttr(a, lib), hr::kOk);
  ASSERT_TRUE(a);
  EXPECT_EQ(a.get()->libid, kContractLibId);
  EXPECT_EQ(a.get()->majorVersion, kContractLibMajor);
  EXPECT_EQ(a.get()->minorVersion, kContractLibMinor);
  EXPECT_EQ(a.get()->lcid, kContractLibLcid);
  EXPECT_EQ(a.get()->syskind, kContractLibSysKind);
  EXPECT_EQ(a.get()->flags, kContractLibFlags);
  a.reset();
  std::u16string name, help;
  EXPECT_EQ(tl().GetDocumentation(lib.get(), -1, &name, &help), hr::kOk);
  EXPECT_EQ(name, kContractLibName);
  EXPECT_EQ(help, kContractLibHelp);
  EXPECT_EQ(lib.reset(), 0u) << "the last reference";
}

TEST_F(TypeLibContract, AnIndexAfterATypeLibraryFileStillLoadsIt) {
  UniqueTypeLib lib;
  ASSERT_EQ(LoadTypeLib(lib, tl(), (path_ + u"\\1").c_str()), hr::kOk);
  UniqueTypeLibAttr a;
  ASSERT_EQ(GetLibAttr(a, lib), hr::kOk);
  EXPECT_EQ(a.get()->libid, kContractLibId);
}

TEST_F(TypeLibContract, RegistrationWritesPathFlagsAndHelpDirectoryAndUnregistrationRemovesIt) {
  {
    UniqueTypeLib lib;
    ASSERT_EQ(LoadTypeLib(lib, tl(), path_.c_str()), hr::kOk);
    ASSERT_EQ(tl().RegisterTypeLib(lib.get(), path_.c_str(), u"C:\\talv\\help\\"), hr::kOk);
  }

  EXPECT_EQ(DefaultText(VersionKey()), kContractLibHelp);
  EXPECT_EQ(DefaultText(VersionKey() + u"\\40c\\" + kContractLibSysKey), path_) << "locale in hex";
  EXPECT_EQ(DefaultText(VersionKey() + u"\\FLAGS"), u"8");
  EXPECT_EQ(DefaultText(VersionKey() + u"\\HELPDIR"), u"C:\\talv\\help\\");

  EXPECT_EQ(Unregister(kContractLibMajor, kContractLibMinor), hr::kOk);
  EXPECT_FALSE(HasKey(kContractLibKey)) << "the whole library key goes";
  EXPECT_EQ(Unregister(kContractLibMajor, kContractLibMinor), hr::kInvalidArg)
      << "nothing left to remove";
}

TEST_F(TypeLibContract, WithoutAHelpDirectoryThePathsDirectoryIsWritten) {
  {
    UniqueTypeLib lib;
    ASSERT_EQ(LoadTypeLib(lib, tl(), path_.c_str()), hr::kOk);
    ASSERT_EQ(tl().RegisterTypeLib(lib.get(), path_.c_str(), nullptr), hr::kOk);
    EXPECT_EQ(tl().RegisterTypeLib(lib.get(), nullptr, nullptr), hr::kInvalidArg) << "no path";
  }
  std::u16string dir = path_.substr(0, path_.find_last_of(u'\\'));
  EXPECT_EQ(DefaultText(VersionKey() + u"\\HELPDIR"), dir) << "without the separator";
}

TEST_F(TypeLibContract, AnotherVersionKeepsTheLibraryKey) {
  {
    UniqueTypeLib lib;
    ASSERT_EQ(LoadTypeLib(lib, tl(), path_.c_str()), hr::kOk);
    ASSERT_EQ(tl().RegisterTypeLib(lib.get(), path_.c_str(), u"C:\\talv\\"), hr::kOk);
  }
  UniqueKey other;
  std::u16string otherKey = std::u16string(kContractLibKey) + u"\\7.0\\0\\" + kContractLibSysKey;
  ASSERT_EQ(Create(other, reg(), reg::kClassesRoot, otherKey.c_str(), reg::kAllAccess), 0u);
  other.reset();

  EXPECT_EQ(Unregister(kContractLibMajor, kContractLibMinor), hr::kOk);
  EXPECT_FALSE(HasKey(VersionKey())) << "the version goes with its FLAGS and HELPDIR";
  EXPECT_TRUE(HasKey(otherKey));
  EXPECT_EQ(Unregister(kContractLibMajor, 0), hr::kInvalidArg) << "a version never registered";
}

}  // namespace
}  // namespace talv::contract
