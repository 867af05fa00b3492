// The library port's contract: loading, looking up exports and freeing, with
// the same expectations against the simulator and against Wine.
#include <gtest/gtest.h>

#include <string>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

class LibrariesContract : public ::testing::Test {
 protected:
  void SetUp() override { refsBefore_ = CurrentEnv().LoadedLibraryReferences(); }
  void TearDown() override {
    // Every reference a test took was given back.
    EXPECT_EQ(CurrentEnv().LoadedLibraryReferences(), refsBefore_);
  }
  Libraries& L() { return CurrentEnv().libraries(); }
  System& S() { return CurrentEnv().system(); }

  long refsBefore_ = 0;
};

TEST_F(LibrariesContract, LoadLookUpAndFree) {
  ModuleHandle h = 0;
  ASSERT_EQ(L().Load(CurrentEnv().KnownLibrary(), &h), 0u);
  ASSERT_NE(h, 0u);
  EXPECT_NE(L().GetProc(h, CurrentEnv().KnownExport()), nullptr);
  EXPECT_EQ(L().Free(h), 0u);
}

TEST_F(LibrariesContract, NamesIgnoreCaseExtensionAndPath) {
  ModuleHandle a = 0, b = 0, c = 0;
  ASSERT_EQ(L().Load(u"KERNEL32.DLL", &a), 0u);
  ASSERT_EQ(L().Load(u"kernel32", &b), 0u);
  ASSERT_EQ(L().Load(u"C:\\windows\\system32\\Kernel32.dll", &c), 0u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(L().Free(c), 0u);
  EXPECT_EQ(L().Free(b), 0u);
  EXPECT_EQ(L().Free(a), 0u);
}

TEST_F(LibrariesContract, MissingLibraryGives126) {
  ModuleHandle h = 0x77;
  S().SetLastError(0);
  EXPECT_EQ(L().Load(u"talv_no_such_library.dll", &h), err::kModNotFound);
  EXPECT_EQ(h, 0x77u);
  EXPECT_EQ(S().GetLastError(), err::kModNotFound);
}

TEST_F(LibrariesContract, MissingExportGivesNullAnd127) {
  UniqueLibrary lib;
  ASSERT_EQ(Load(lib, L(), CurrentEnv().KnownLibrary()), 0u);
  S().SetLastError(0);
  EXPECT_EQ(L().GetProc(lib.get(), "TalvNoSuchExport"), nullptr);
  EXPECT_EQ(S().GetLastError(), err::kProcNotFound);
  // The owner frees it; the fixture checks.
}

TEST_F(LibrariesContract, UnknownHandleGives126) {
  const ModuleHandle bogus = 0x12340000;
  S().SetLastError(0);
  EXPECT_EQ(L().GetProc(bogus, "X"), nullptr);
  EXPECT_EQ(S().GetLastError(), err::kModNotFound);
  EXPECT_EQ(L().Free(bogus), err::kModNotFound);
}

}  // namespace
}  // namespace talv::contract
