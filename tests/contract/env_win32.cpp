#include "platform/win32/win32_registry.h"
#include "tests/contract/contract_env.h"

namespace talv::contract {

namespace {
class Win32Env final : public Env {
 public:
  Registry& registry() override { return registry_; }
  long OpenRegistryKeys() override { return -1; }
  const char* name() const override { return "win32"; }

 private:
  win32::Win32Registry registry_;
};
}  // namespace

Env& CurrentEnv() {
  static Win32Env env;
  return env;
}

}  // namespace talv::contract
