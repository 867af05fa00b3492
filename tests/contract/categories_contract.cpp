// The component categories manager as the COM port creates it: made only
// inside an apartment and as an in-process server, one category per call,
// and removal of a category the class does not have succeeding; against the
// simulator and against Wine's manager.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

Com& C() { return CurrentEnv().com(); }

// {6A1C7E56-...} a class and {6A1C7E57-...} a category of the tests only.
constexpr Guid kTestClass{0x6A1C7E56u, 0x3B94, 0x4D0F, {0x9E, 0x21, 0x5C, 0x8A, 0x7D, 0x3F, 0x0B, 0x16}};
constexpr Guid kTestCategory{0x6A1C7E57u, 0x3B94, 0x4D0F,
                             {0x9E, 0x21, 0x5C, 0x8A, 0x7D, 0x3F, 0x0B, 0x16}};

TEST(CategoriesContract, TheManagerNeedsAnApartment) {
  OnFreshThread([] {
    CategoryRegistrar* manager = nullptr;
    EXPECT_EQ(C().CoCreateCategoryRegistrar(com::kClsidStdComponentCategoriesMgr,
                                            com::kInprocServer, &manager),
              com::kNotInitialized);
    EXPECT_EQ(manager, nullptr);
  });
}

TEST(CategoriesContract, TheManagerIsAnInProcessServerOnly) {
  OnFreshThread([] {
    ComApartment apartment;
    ASSERT_EQ(CoInitialize(apartment, C()), hr::kOk);
    CategoryRegistrar* manager = nullptr;
    HResult r = C().CoCreateCategoryRegistrar(com::kClsidStdComponentCategoriesMgr,
                                              com::kLocalServer, &manager);
    // Windows, and Wine in a 64-bit-only prefix, find the class key without a
    // local server: REGDB_E_CLASSNOTREG. Wine in a WoW64 prefix (the one
    // that runs 32-bit programs too) answers REGDB_E_KEYMISSING instead,
    // for programs of either bitness: a refusal all the same.
    if (std::strcmp(CurrentEnv().name(), "win32") == 0 && r == 0x80040152u)
      r = com::kClassNotRegistered;
    EXPECT_EQ(r, com::kClassNotRegistered);
    EXPECT_EQ(manager, nullptr);
  });
}

TEST(CategoriesContract, CategoriesAreAddedAndRemovedOneByOne) {
  OnFreshThread([] {
    ComApartment apartment;
    ASSERT_EQ(CoInitialize(apartment, C()), hr::kOk);
    CategoryRegistrar* manager = nullptr;
    ASSERT_EQ(C().CoCreateCategoryRegistrar(com::kClsidStdComponentCategoriesMgr,
                                            com::kInprocServer, &manager),
              hr::kOk);
    ASSERT_NE(manager, nullptr);
    UniqueCategoryRegistrar held(*manager, manager);
    EXPECT_EQ(manager->RegisterClassImplCategories(kTestClass, kTestCategory), hr::kOk);
    EXPECT_EQ(manager->RegisterClassReqCategories(kTestClass, kTestCategory), hr::kOk);
    EXPECT_EQ(manager->UnRegisterClassImplCategories(kTestClass, kTestCategory), hr::kOk);
    EXPECT_EQ(manager->UnRegisterClassReqCategories(kTestClass, kTestCategory), hr::kOk);
    EXPECT_EQ(manager->UnRegisterClassImplCategories(kTestClass, kTestCategory), hr::kOk)
        << "a category the class does not have";
  });
  DeleteKeyTree(CurrentEnv().registry(), reg::kClassesRoot,
             u"CLSID\\{6A1C7E56-3B94-4D0F-9E21-5C8A7D3F0B16}");
}

}  // namespace
}  // namespace talv::contract
