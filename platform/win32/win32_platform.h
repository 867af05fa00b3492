// The real machine: every Win32 adapter, and the Platform bundle over them.
#pragma once

#include "platform/platform.h"
#include "platform/win32/win32_com.h"
#include "platform/win32/win32_eventlog.h"
#include "platform/win32/win32_libraries.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_resources.h"
#include "platform/win32/win32_ui.h"
#include "platform/win32/win32_scm.h"
#include "platform/win32/win32_security.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_typelib.h"
#include "platform/win32/win32_windowing.h"

namespace talv::win32 {

struct Win32Platform {
  Win32Registry registry;
  Win32ServiceManager scm;
  Win32EventLog eventLog;
  Win32Console console;
  Win32Windowing windowing;
  Win32System system;
  Win32Libraries libraries;
  Win32Com com;
  Win32Security security;
  Win32Resources resources;
  Win32UserInterface ui;
  Win32TypeLibraries typeLibraries;
  // Further adapters are members here.

  // The adapters as the system's logic receives them.
  Platform platform() {
    return Platform{registry, scm, eventLog, console, libraries, windowing, system, com, security, resources, ui, typeLibraries};
  }
};

}  // namespace talv::win32
