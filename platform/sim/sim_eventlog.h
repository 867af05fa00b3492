// The simulated event log: every reported event is kept with its source,
// type, category, identifier and strings; and the simulated standard output,
// which keeps the text written to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/sim/faults.h"

namespace talv::sim {

struct SimEvent {
  std::u16string source;
  std::uint16_t type = 0;
  std::uint16_t category = 0;
  std::uint32_t eventId = 0;
  std::vector<std::u16string> strings;
};

class SimEventLog final : public EventLog {
 public:
  enum class Op { RegisterSource, Report, Deregister };

  WinError RegisterSource(const char16_t* server, const char16_t* source,
                          EventSourceHandle* out) override;
  WinError Report(EventSourceHandle source, std::uint16_t type, std::uint16_t category,
                  std::uint32_t eventId, std::uint16_t stringCount,
                  const char16_t* const* strings) override;
  WinError DeregisterSource(EventSourceHandle source) override;

  // --- test side -------------------------------------------------------
  FaultPlan<Op>& faults() { return faults_; }
  // Every event reported so far, in order.
  std::vector<SimEvent> Events() const;
  void ClearEvents();
  // Event sources registered and not yet deregistered.
  std::size_t OpenSourceCount() const;
  // From HoldReports until ReleaseReports every report waits (real time,
  // on its caller's thread) before it is kept: an event log slow to take an
  // event, for tests that need a thread stopped inside a report.
  void HoldReports();
  void ReleaseReports();
  // Waits until some report is being held; false when `timeout` passed first.
  bool WaitForHeldReport(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable holdChanged_;
  bool held_ = false;
  unsigned heldReports_ = 0;
  FaultPlan<Op> faults_;
  std::map<EventSourceHandle, std::u16string> sources_;
  EventSourceHandle nextHandle_ = 0x3000;
  std::vector<SimEvent> events_;
};

class SimConsole final : public Console {
 public:
  void Write(const char16_t* text) override;
  void UseParentConsole() override;

  // --- test side -------------------------------------------------------
  // Everything written so far, as one text.
  std::u16string Text() const;
  void Clear();
  // Whether UseParentConsole was called.
  bool ParentConsoleAsked() const;

 private:
  mutable std::mutex mutex_;
  std::u16string text_;
  bool parentConsoleAsked_ = false;
};

}  // namespace talv::sim
