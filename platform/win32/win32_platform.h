// The real machine: every Win32 adapter, and the Platform bundle over them.
#pragma once

#include "platform/platform.h"
#include "platform/win32/win32_registry.h"

namespace talv::win32 {

struct Win32Platform {
  Win32Registry registry;
  // Further adapters are members here.
};

}  // namespace talv::win32
