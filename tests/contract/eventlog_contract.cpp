// The event-log port's contract: register a source, report, deregister,
// against the simulator and Wine (whose events go to a debug channel only).
#include <gtest/gtest.h>

#include "tests/contract/contract_env.h"

namespace talv::contract {
namespace {

class EventLogContract : public ::testing::Test {
 protected:
  void SetUp() override { sourcesBefore_ = CurrentEnv().OpenEventSources(); }
  void TearDown() override { EXPECT_EQ(CurrentEnv().OpenEventSources(), sourcesBefore_); }
  EventLog& log() { return CurrentEnv().eventLog(); }
  long sourcesBefore_ = 0;
};

TEST_F(EventLogContract, RegisterReportDeregisterEachOfTheThreeTypes) {
  for (std::uint16_t type : {evt::kError, evt::kWarning, evt::kInformation}) {
    EventSourceHandle h = 0;
    ASSERT_EQ(log().RegisterSource(nullptr, u"TALV Wardstone", &h), 0u);
    EXPECT_NE(h, 0u);
    const char16_t* text[] = {u"Service started"};
    EXPECT_EQ(log().Report(h, type, 0, 0, 1, text), 0u);
    EXPECT_EQ(log().DeregisterSource(h), 0u);
  }
}

TEST_F(EventLogContract, SourcesAreIndependent) {
  EventSourceHandle a = 0, b = 0;
  ASSERT_EQ(log().RegisterSource(nullptr, u"TALV Wardstone", &a), 0u);
  ASSERT_EQ(log().RegisterSource(nullptr, u"TALV Wardstone", &b), 0u);
  EXPECT_EQ(log().DeregisterSource(a), 0u);
  const char16_t* text[] = {u"TALV Wardstone has completed the shutdown of Microsoft Exchange."};
  EXPECT_EQ(log().Report(b, evt::kInformation, 0, 0, 1, text), 0u);
  EXPECT_EQ(log().DeregisterSource(b), 0u);
}

}  // namespace
}  // namespace talv::contract
