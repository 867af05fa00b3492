// How a stand-in Windows service behaves: the simulated services follow it,
// and fake_service.exe (tests/doubles) reads it under Wine from the registry
// values named here. No system header: the fake service includes it beside
// <windows.h> (through windows_fence.h, which undoes the renaming macros).
#pragma once

#include "platform/scm.h"
#include "platform/text.h"

namespace talv::sim {

struct ServiceBehaviour {
  // The state it is in once installed or started (kStopped: installed but
  // not running; starting it makes it run). The fake service settles in
  // running, paused or start-pending.
  std::uint32_t state = svc::kRunning;
  // The wait hint it reports while stop-pending.
  std::uint32_t waitHint = 0;
  // After an accepted stop it stays stop-pending for at least this long
  // (virtual time in the simulator); with this and `stopPendingQueries` 0
  // it is stopped at once.
  std::uint32_t stopDelayMs = 0;
  // false: it does not accept the stop control (ControlService: 1052).
  bool acceptStop = true;
  // The simulator's alone (the fake service ignores them): after an accepted
  // stop it answers this many status queries with stop-pending; non-zero
  // `refuseStop`: its handler refuses the stop control with this error.
  unsigned stopPendingQueries = 0;
  WinError refuseStop = 0;
  // The simulator's alone: while stop-pending its check point rises by one
  // every this many milliseconds (0: it stays 1).
  std::uint32_t checkPointEveryMs = 0;
};

// The fake service's key is this plus its name, under HKLM in the 64-bit
// view; its values: the state's name (REG_SZ), the rest DWORDs.
inline constexpr char16_t kBehaviourKeys[] = u"Software\\TalvTestDoubles\\Services\\";
inline constexpr char16_t kStateValue[] = u"State";
inline constexpr char16_t kAcceptStopValue[] = u"AcceptStop";
inline constexpr char16_t kWaitHintValue[] = u"WaitHint";
inline constexpr char16_t kStopDelayValue[] = u"StopDelayMs";

// The fake service's private control: ends it like a stop even when it does
// not accept the stop control, and is not recorded as a stop request.
inline constexpr std::uint32_t kControlEndAnyway = 200;

// The states the fake service settles in, by name; the first is the default
// for any other state or name. Names compare without regard to case.
struct NamedState {
  std::uint32_t state;
  const char16_t* name;
};
inline constexpr NamedState kNamedStates[] = {
    {svc::kRunning, u"running"}, {svc::kPaused, u"paused"}, {svc::kStartPending, u"startpending"}};

inline const char16_t* StateName(std::uint32_t state) {
  for (const NamedState& s : kNamedStates) if (s.state == state) return s.name;
  return kNamedStates[0].name;
}
inline std::uint32_t StateNamed(const char16_t* name) {
  for (const NamedState& s : kNamedStates) if (SameName(name, s.name)) return s.state;
  return kNamedStates[0].state;
}

}  // namespace talv::sim
