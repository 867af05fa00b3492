// What a contract suite runs against: the simulator on the host, the real
// adapters under Wine. Suites use only the ports, never a simulator's extras.
#pragma once

#include <string>

#include "platform/platform.h"

namespace talv::contract {

class Env {
 public:
  virtual ~Env() = default;
  virtual Registry& registry() = 0;
  // Open registry keys right now, or -1 where the platform cannot tell.
  virtual long OpenRegistryKeys() = 0;
  virtual const char* name() const = 0;
};

// The environment of this build (defined by env_sim.cpp or env_win32.cpp).
Env& CurrentEnv();

// A fresh scratch key under HKCU for one test; removed with everything
// below it when the test ends.
class ScratchKey {
 public:
  explicit ScratchKey(const std::u16string& name);
  ~ScratchKey();
  RegKey key() const { return key_; }
  const std::u16string& path() const { return path_; }

 private:
  std::u16string path_;
  RegKey key_ = 0;
};

// Deletes a key and everything below it through the port.
WinError DeleteTree(Registry& r, RegKey parent, const std::u16string& sub);

}  // namespace talv::contract
