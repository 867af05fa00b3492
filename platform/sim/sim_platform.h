// One simulated machine: every simulated port on one virtual clock, and the
// Platform bundle that hands them to the system's logic.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_com.h"
#include "platform/sim/sim_eventlog.h"
#include "platform/sim/sim_libraries.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_resources.h"
#include "platform/sim/sim_ui.h"
#include "platform/sim/sim_scm.h"
#include "platform/sim/sim_security.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_typelib.h"
#include "platform/sim/sim_windowing.h"

namespace talv::sim {

struct SimPlatform {
  SimClock clock;
  SimRegistry registry;
  SimServiceManager scm{clock, &registry};
  SimEventLog eventLog;
  SimConsole console;
  SimWindowing windowing{clock};
  SimSystem system{clock};
  // Failed loads and lookups set the system's last error.
  SimLibraries libraries{&system};
  SimCom com;
  SimSecurity security;
  SimResources resources;
  SimUserInterface ui;
  // Registrations go into the registry; "oleaut32.dll" is defined among
  // the libraries with its UnRegisterTypeLib.
  SimTypeLibraries typeLibraries{registry, &libraries};
  // Further simulated ports are members here, each constructed with the
  // clock where it measures time.

  // A process ended through the system port ends the service manager's
  // dispatcher call, as it would end the whole process.
  SimPlatform() {
    system.SetProcessEndHook([this] { scm.ProcessEnded(); });
  }

  // The ports as the system's logic receives them.
  Platform platform() {
    return Platform{registry, scm, eventLog, console, libraries, windowing, system, com, security, resources, ui, typeLibraries};
  }
};

}  // namespace talv::sim
