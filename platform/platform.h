// Everything of the platform that the system's logic uses, bundled: each
// subsystem receives one Platform& and reaches the machine only through it.
#pragma once

#include "platform/com.h"
#include "platform/eventlog.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/scm.h"
#include "platform/security.h"
#include "platform/system.h"
#include "platform/typelib.h"
#include "platform/ui.h"
#include "platform/windowing.h"

namespace talv {

struct Platform {
  Registry& registry;
  ServiceManager& scm;
  EventLog& eventLog;
  Console& console;
  Libraries& libraries;
  Windowing& windowing;
  System& system;
  Com& com;
  Security& security;
  ModuleResources& resources;
  UserInterface& ui;
  TypeLibraries& typeLibraries;
};

}  // namespace talv
