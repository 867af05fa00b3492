// The simulated registry's own extras: fault injection, denials and the
// open-key count that the other tests rely on.
#include <gtest/gtest.h>

#include "platform/sim/sim_registry.h"

namespace talv::sim {
namespace {

TEST(SimRegistryTest, CountsOpenKeysAndInjectsFaults) {
  SimRegistry r;
  r.PutKey(reg::kLocalMachine, u"A\\B");
  RegKey k1 = 0, k2 = 0;
  ASSERT_EQ(r.OpenKey(reg::kLocalMachine, u"A", reg::kRead, &k1), 0u);
  ASSERT_EQ(r.OpenKey(k1, u"b", reg::kRead, &k2), 0u);
  EXPECT_EQ(r.OpenKeyCount(), 2u);
  r.faults().FailNext(SimRegistry::Op::Open, 1450);
  RegKey k3 = 77;
  EXPECT_EQ(r.OpenKey(reg::kLocalMachine, u"A", reg::kRead, &k3), 1450u);
  EXPECT_EQ(k3, 77u);
  EXPECT_EQ(r.OpenKey(reg::kLocalMachine, u"A", reg::kRead, &k3), 0u) << "only the next call fails";
  r.faults().FailNth(SimRegistry::Op::Close, 2, err::kInvalidHandle);
  EXPECT_EQ(r.CloseKey(k1), 0u);
  EXPECT_EQ(r.CloseKey(k2), err::kInvalidHandle);
  EXPECT_EQ(r.OpenKeyCount(), 2u) << "a failed close keeps the key open";
  EXPECT_EQ(r.CloseKey(k2), 0u);
  EXPECT_EQ(r.CloseKey(k3), 0u);
  EXPECT_EQ(r.OpenKeyCount(), 0u);
}

TEST(SimRegistryTest, DeniedKeyRefusesOnlyTheDeniedAccess) {
  SimRegistry r;
  r.PutKey(reg::kClassesRoot, u"AppID\\X");
  r.DenyKey(reg::kClassesRoot, u"AppID", reg::kWrite);
  RegKey k = 0;
  EXPECT_EQ(r.OpenKey(reg::kClassesRoot, u"AppID", reg::kWrite, &k), err::kAccessDenied);
  ASSERT_EQ(r.OpenKey(reg::kClassesRoot, u"appid", reg::kRead, &k), 0u);
  r.CloseKey(k);
  EXPECT_TRUE(r.HasKey(reg::kClassesRoot, u"APPID\\x"));
}

TEST(SimRegistryTest, DumpShowsKeysAndValues) {
  SimRegistry a, b;
  a.PutString(reg::kCurrentUser, u"K", u"V", u"x");
  b.PutString(reg::kCurrentUser, u"K", u"V", u"y");
  EXPECT_NE(a.Dump(reg::kCurrentUser), b.Dump(reg::kCurrentUser));
  b.PutString(reg::kCurrentUser, u"K", u"V", u"x");
  EXPECT_EQ(a.Dump(reg::kCurrentUser), b.Dump(reg::kCurrentUser));
}

}  // namespace
}  // namespace talv::sim
