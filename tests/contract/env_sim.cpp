#include "platform/sim/sim_registry.h"
#include "tests/contract/contract_env.h"

namespace talv::contract {

namespace {
class SimEnv final : public Env {
 public:
  Registry& registry() override { return registry_; }
  long OpenRegistryKeys() override { return static_cast<long>(registry_.OpenKeyCount()); }
  const char* name() const override { return "simulator"; }

 private:
  sim::SimRegistry registry_;
};
}  // namespace

Env& CurrentEnv() {
  static SimEnv env;
  return env;
}

}  // namespace talv::contract
