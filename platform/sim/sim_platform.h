// One simulated machine: every simulated port on one virtual clock, and the
// Platform bundle that hands them to the system's logic.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_registry.h"

namespace talv::sim {

struct SimPlatform {
  SimClock clock;
  SimRegistry registry;
  // Further simulated ports are members here, each constructed with the
  // clock where it measures time.
};

}  // namespace talv::sim
