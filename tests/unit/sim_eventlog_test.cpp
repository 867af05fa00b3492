// The simulated event log and console: what they record, the open-source
// count and fault injection.
#include <gtest/gtest.h>

#include "platform/sim/sim_eventlog.h"

namespace talv::sim {
namespace {

using Op = SimEventLog::Op;

TEST(SimEventLogTest, RecordsEveryFieldOfEachEventUnderItsSource) {
  SimEventLog log;
  EventSourceHandle a = 0, b = 0;
  ASSERT_EQ(log.RegisterSource(nullptr, u"TALV Wardstone", &a), 0u);
  ASSERT_EQ(log.RegisterSource(u"", u"Other", &b), 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(log.OpenSourceCount(), 2u);
  const char16_t* two[] = {u"first", u"second"};
  ASSERT_EQ(log.Report(a, evt::kWarning, 3, 102, 2, two), 0u);
  ASSERT_EQ(log.Report(b, evt::kError, 0, 0, 0, nullptr), 0u);
  auto events = log.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].source, u"TALV Wardstone");
  EXPECT_EQ(events[0].type, evt::kWarning);
  EXPECT_EQ(events[0].category, 3u);
  EXPECT_EQ(events[0].eventId, 102u);
  EXPECT_EQ(events[0].strings, (std::vector<std::u16string>{u"first", u"second"}));
  EXPECT_EQ(events[1].source, u"Other");
  EXPECT_TRUE(events[1].strings.empty());
  EXPECT_EQ(log.DeregisterSource(a), 0u);
  EXPECT_EQ(log.DeregisterSource(a), err::kInvalidHandle);
  EXPECT_EQ(log.Report(a, evt::kError, 0, 0, 2, two), err::kInvalidHandle);
  EXPECT_EQ(log.DeregisterSource(b), 0u);
  EXPECT_EQ(log.OpenSourceCount(), 0u);
  EXPECT_EQ(log.Events().size(), 2u);
}

TEST(SimEventLogTest, EachOperationCanBeMadeToFail) {
  SimEventLog log;
  EventSourceHandle h = 0x55;
  log.faults().FailNext(Op::RegisterSource, err::kAccessDenied);
  EXPECT_EQ(log.RegisterSource(nullptr, u"TALV Wardstone", &h), err::kAccessDenied);
  EXPECT_EQ(h, 0x55u);
  EXPECT_EQ(log.OpenSourceCount(), 0u);
  ASSERT_EQ(log.RegisterSource(nullptr, u"TALV Wardstone", &h), 0u);
  const char16_t* text[] = {u"Service started"};
  log.faults().FailNext(Op::Report, 1502);  // ERROR_LOG_FILE_FULL
  EXPECT_EQ(log.Report(h, evt::kInformation, 0, 0, 1, text), 1502u);
  EXPECT_TRUE(log.Events().empty()) << "a failed report keeps nothing";
  log.faults().FailNext(Op::Deregister, err::kInvalidHandle);
  EXPECT_EQ(log.DeregisterSource(h), err::kInvalidHandle);
  EXPECT_EQ(log.OpenSourceCount(), 1u);
  EXPECT_EQ(log.DeregisterSource(h), 0u);
  EXPECT_EQ(log.faults().Calls(Op::Report), 1u);
}

TEST(SimConsoleTest, KeepsTheTextAsWritten) {
  SimConsole console;
  console.Write(u"Service started\n");
  console.Write(u"100% \u00e9\n");
  console.Write(nullptr);
  EXPECT_EQ(console.Text(), u"Service started\n100% \u00e9\n");
  console.Clear();
  EXPECT_EQ(console.Text(), u"");
}

}  // namespace
}  // namespace talv::sim
