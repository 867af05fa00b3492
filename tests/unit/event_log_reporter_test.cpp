// The event-log reporter: one event per message in a service run, one line
// on standard output in a plain-process run.
#include <gtest/gtest.h>

#include "platform/sim/sim_platform.h"
#include "resources/messages.h"
#include "service/event_log_reporter.h"

namespace talv {
namespace {

using Op = sim::SimEventLog::Op;

class EventLogReporterTest : public ::testing::Test {
 protected:
  EventLogReporterTest() {
    reporter.SetDisplayName(u"TALV Wardstone");
    reporter.runningAsService = 1;
  }
  void TearDown() override { EXPECT_EQ(sim.eventLog.OpenSourceCount(), 0u); }

  sim::SimPlatform sim;
  CEventLogReporter reporter{sim.eventLog, sim.console};
};

TEST_F(EventLogReporterTest, EachMessageIsOneEventUnderItsOwnRegistration) {
  reporter.WriteEventLog(evt::kInformation, resources::kTextServiceStarted);
  reporter.WriteEventLog(evt::kError, resources::kTextHandlerNotInstalled);
  reporter.WriteEventLog(evt::kWarning, u"w");
  auto events = sim.eventLog.Events();
  ASSERT_EQ(events.size(), 3u);
  const std::uint16_t types[] = {4, 1, 2};
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].source, u"TALV Wardstone");
    EXPECT_EQ(events[i].type, types[i]);
    EXPECT_EQ(events[i].category, 0);
    EXPECT_EQ(events[i].eventId, 0u);
    ASSERT_EQ(events[i].strings.size(), 1u);
  }
  EXPECT_EQ(events[0].strings[0], resources::kTextServiceStarted);
  EXPECT_EQ(sim.eventLog.faults().Calls(Op::RegisterSource), 3u);
  EXPECT_EQ(sim.eventLog.faults().Calls(Op::Deregister), 3u);
  EXPECT_EQ(sim.console.Text(), u"");
}

TEST_F(EventLogReporterTest, APlainProcessWritesALineAndNoEvent) {
  reporter.runningAsService = 0;
  reporter.WriteEventLog(evt::kInformation, resources::kTextServiceStarted);
  reporter.WriteEventLog(evt::kError, u"second");
  EXPECT_EQ(sim.console.Text(), u"Service started\nsecond\n");
  EXPECT_EQ(sim.eventLog.faults().Calls(Op::RegisterSource), 0u);
  EXPECT_TRUE(sim.eventLog.Events().empty());
}

TEST_F(EventLogReporterTest, WithoutASourceTheMessageIsDropped) {
  sim.eventLog.faults().FailNext(Op::RegisterSource, err::kAccessDenied);
  reporter.WriteEventLog(evt::kError, u"lost");
  EXPECT_TRUE(sim.eventLog.Events().empty());
  EXPECT_EQ(sim.eventLog.faults().Calls(Op::Report), 0u);
  EXPECT_EQ(sim.eventLog.faults().Calls(Op::Deregister), 0u);
  EXPECT_EQ(sim.console.Text(), u"");
  // A failed report still gives the source back.
  sim.eventLog.faults().FailNext(Op::Report, err::kAccessDenied);
  reporter.WriteEventLog(evt::kError, u"also lost");
  EXPECT_EQ(sim.eventLog.faults().Calls(Op::Deregister), 1u);
  reporter.WriteEventLog(evt::kError, u"kept");
  ASSERT_EQ(sim.eventLog.Events().size(), 1u);
  EXPECT_EQ(sim.eventLog.Events()[0].strings[0], u"kept");
}

TEST_F(EventLogReporterTest, PercentSignsAreJustText) {
  const char16_t* text = u"pool '%1%s%n%%' at 100% %d!x!";
  reporter.WriteEventLog(evt::kWarning, text);
  ASSERT_EQ(sim.eventLog.Events().size(), 1u);
  EXPECT_EQ(sim.eventLog.Events()[0].strings[0], text);
  reporter.runningAsService = 0;
  reporter.WriteEventLog(evt::kWarning, text);
  EXPECT_EQ(sim.console.Text(), std::u16string(text) + u"\n");
}

TEST_F(EventLogReporterTest, LongTextIsCutTo255UnitsUnlessWrittenWhole) {
  std::u16string exact(255, u'a');
  std::u16string longer(300, u'b');
  reporter.WriteEventLog(evt::kError, exact.c_str());
  reporter.WriteEventLog(evt::kError, longer.c_str());
  reporter.WriteWholeEventLog(evt::kWarning, longer.c_str());
  ASSERT_EQ(sim.eventLog.Events().size(), 3u);
  EXPECT_EQ(sim.eventLog.Events()[0].strings[0], exact);
  EXPECT_EQ(sim.eventLog.Events()[1].strings[0], std::u16string(255, u'b'));
  EXPECT_EQ(sim.eventLog.Events()[2].strings[0], longer);
  EXPECT_EQ(sim.eventLog.Events()[2].type, evt::kWarning);
  reporter.runningAsService = 0;
  reporter.WriteEventLog(evt::kError, longer.c_str());
  reporter.WriteWholeEventLog(evt::kError, longer.c_str());
  EXPECT_EQ(sim.console.Text(), std::u16string(255, u'b') + u"\n" + longer + u"\n");
}

TEST_F(EventLogReporterTest, TheSourceNameHoldsAtMost63Units) {
  std::u16string name(80, u'n');
  reporter.SetDisplayName(name.c_str());
  reporter.WriteEventLog(evt::kError, u"x");
  ASSERT_EQ(sim.eventLog.Events().size(), 1u);
  EXPECT_EQ(sim.eventLog.Events()[0].source, std::u16string(63, u'n'));
}

}  // namespace
}  // namespace talv
