#include "platform/sim/sim_eventlog.h"

namespace talv::sim {

WinError SimEventLog::RegisterSource(const char16_t* server, const char16_t* source,
                                     EventSourceHandle* out) {
  if (WinError f = faults_.Enter(Op::RegisterSource)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  // Only the local machine exists here.
  if (server && *server) return 1722;  // RPC_S_SERVER_UNAVAILABLE
  if (!source || !out) return err::kInvalidParameter;
  EventSourceHandle h = nextHandle_;
  nextHandle_ += 8;
  sources_[h] = source;
  *out = h;
  return err::kSuccess;
}

WinError SimEventLog::Report(EventSourceHandle source, std::uint16_t type, std::uint16_t category,
                             std::uint32_t eventId, std::uint16_t stringCount,
                             const char16_t* const* strings) {
  if (WinError f = faults_.Enter(Op::Report)) return f;
  std::unique_lock<std::mutex> lock(mutex_);
  if (held_) {
    ++heldReports_;
    holdChanged_.notify_all();
    holdChanged_.wait(lock, [this] { return !held_; });
    --heldReports_;
  }
  auto it = sources_.find(source);
  if (it == sources_.end()) return err::kInvalidHandle;
  if (stringCount > 0 && !strings) return err::kInvalidParameter;
  SimEvent e;
  e.source = it->second;
  e.type = type;
  e.category = category;
  e.eventId = eventId;
  for (std::uint16_t i = 0; i < stringCount; ++i)
    e.strings.emplace_back(strings[i] ? strings[i] : u"");
  events_.push_back(std::move(e));
  return err::kSuccess;
}

WinError SimEventLog::DeregisterSource(EventSourceHandle source) {
  if (WinError f = faults_.Enter(Op::Deregister)) return f;
  std::lock_guard<std::mutex> lock(mutex_);
  return sources_.erase(source) ? err::kSuccess : err::kInvalidHandle;
}

std::vector<SimEvent> SimEventLog::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void SimEventLog::ClearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

std::size_t SimEventLog::OpenSourceCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sources_.size();
}

void SimConsole::Write(const char16_t* text) {
  if (!text) return;
  std::lock_guard<std::mutex> lock(mutex_);
  text_ += text;
}

void SimConsole::UseParentConsole() {
  // The simulated process always has its standard output.
  std::lock_guard<std::mutex> lock(mutex_);
  parentConsoleAsked_ = true;
}

bool SimConsole::ParentConsoleAsked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return parentConsoleAsked_;
}

std::u16string SimConsole::Text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

void SimConsole::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
}

void SimEventLog::HoldReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void SimEventLog::ReleaseReports() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }
  holdChanged_.notify_all();
}

bool SimEventLog::WaitForHeldReport(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return holdChanged_.wait_for(lock, timeout, [this] { return heldReports_ > 0; });
}

}  // namespace talv::sim
