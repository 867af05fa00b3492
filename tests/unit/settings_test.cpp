// The monitor settings: every outcome of the fallback rules.
#include <gtest/gtest.h>

#include "monitor/settings.h"
#include "platform/sim/sim_registry.h"

namespace talv {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(registry.OpenKeyCount(), 0u); }
  void Read() { ReadMonitorSettings(registry, &interval, &threshold); }
  void PutMinutes(std::uint32_t v) { registry.PutDword(reg::kLocalMachine, kSettingsKey, u"CheckEveryMinutes", v); }
  void PutThreshold(std::uint32_t v) {
    registry.PutDword(reg::kLocalMachine, kSettingsKey, u"FreePoolSpaceThresholdMB", v);
  }
  sim::SimRegistry registry;
  std::uint32_t interval = 7, threshold = 7;
};

TEST_F(SettingsTest, NoKeyGivesSixtySecondsAndTenMegabytes) {
  Read();
  EXPECT_EQ(interval, 60u);
  EXPECT_EQ(threshold, 10u);
}

TEST_F(SettingsTest, UnreadableKeyCountsAsMissing) {
  registry.PutKey(reg::kLocalMachine, kSettingsKey);
  PutMinutes(5);
  registry.DenyKey(reg::kLocalMachine, kSettingsKey, reg::kRead);
  Read();
  EXPECT_EQ(interval, 60u);
  EXPECT_EQ(threshold, 10u);
}

TEST_F(SettingsTest, EmptyKeyGivesHundredTwentySecondsAndTenMegabytes) {
  registry.PutKey(reg::kLocalMachine, kSettingsKey);
  Read();
  EXPECT_EQ(interval, 120u);
  EXPECT_EQ(threshold, 10u);
}

TEST_F(SettingsTest, MinutesBecomeSecondsAndZeroFallsBack) {
  PutMinutes(1);
  Read();
  EXPECT_EQ(interval, 60u);
  PutMinutes(5);
  Read();
  EXPECT_EQ(interval, 300u);
  PutMinutes(0);
  Read();
  EXPECT_EQ(interval, 120u);
}

TEST_F(SettingsTest, LargeIntervalsSaturateInsteadOfWrapping) {
  PutMinutes(71582788);  // the last count whose seconds fit in 32 bits
  Read();
  EXPECT_EQ(interval, 71582788u * 60u);
  PutMinutes(71582789);  // would wrap to 16 seconds
  Read();
  EXPECT_EQ(interval, 0xFFFFFFFFu);
  PutMinutes(0xFFFFFFFFu);
  Read();
  EXPECT_EQ(interval, 0xFFFFFFFFu);
}

TEST_F(SettingsTest, ThresholdIsTakenAsReadZeroIncluded) {
  PutThreshold(0);
  Read();
  EXPECT_EQ(threshold, 0u);
  EXPECT_EQ(interval, 120u) << "no interval value in an existing key";
  PutThreshold(4096);
  Read();
  EXPECT_EQ(threshold, 4096u);
}

TEST_F(SettingsTest, StringsAndWideDataFollowTheFourByteRule) {
  // "5" with its terminator is exactly 4 bytes: 53 minutes.
  registry.PutString(reg::kLocalMachine, kSettingsKey, u"CheckEveryMinutes", u"5");
  // A 64-bit threshold does not fit: 10 MB.
  std::uint64_t big = 3;
  registry.Put(reg::kLocalMachine, kSettingsKey, u"FreePoolSpaceThresholdMB", reg::kQword, &big, 8);
  Read();
  EXPECT_EQ(interval, 53u * 60u);
  EXPECT_EQ(threshold, 10u);
  registry.PutString(reg::kLocalMachine, kSettingsKey, u"CheckEveryMinutes", u"10");
  Read();
  EXPECT_EQ(interval, 120u) << "a two-character string is 6 bytes: unreadable";
}

TEST_F(SettingsTest, ShortDataIsALittleEndianNumberAndEmptyDataIsUnreadable) {
  std::uint8_t one[1] = {3};
  registry.Put(reg::kLocalMachine, kSettingsKey, u"CheckEveryMinutes", reg::kBinary, one, 1);
  std::uint8_t two[2] = {0x2C, 0x01};  // 300
  registry.Put(reg::kLocalMachine, kSettingsKey, u"FreePoolSpaceThresholdMB", reg::kBinary, two, 2);
  Read();
  EXPECT_EQ(interval, 180u);
  EXPECT_EQ(threshold, 300u);
  registry.Put(reg::kLocalMachine, kSettingsKey, u"CheckEveryMinutes", reg::kDword, nullptr, 0);
  registry.Put(reg::kLocalMachine, kSettingsKey, u"FreePoolSpaceThresholdMB", reg::kDword, nullptr, 0);
  Read();
  EXPECT_EQ(interval, 120u);
  EXPECT_EQ(threshold, 10u) << "an empty threshold must not turn the check off";
}

TEST_F(SettingsTest, FailingCallsTakeTheirFallbacks) {
  PutMinutes(3);
  PutThreshold(50);
  registry.faults().FailNext(sim::SimRegistry::Op::Open, err::kAccessDenied);
  Read();
  EXPECT_EQ(interval, 60u);
  EXPECT_EQ(threshold, 10u);
  registry.faults().FailNext(sim::SimRegistry::Op::Query, 1450);
  Read();
  EXPECT_EQ(interval, 120u);
  EXPECT_EQ(threshold, 50u);
  registry.faults().FailNth(sim::SimRegistry::Op::Query, 2, 1450);
  Read();
  EXPECT_EQ(interval, 180u);
  EXPECT_EQ(threshold, 10u);
}

}  // namespace
}  // namespace talv
