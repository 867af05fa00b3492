// What a shutdown of Exchange tells the one who runs it before each step
// that can take a while: how long that step may take. The service runtime
// turns it into stop-pending reports while a stop of the service itself
// waits for the shutdown to end.
#pragma once

#include <cstdint>

namespace talv {

class ShutdownProgress {
 public:
  virtual ~ShutdownProgress() = default;
  // The next step of the shutdown may take up to `ms` milliseconds.
  virtual void NextStep(std::uint32_t ms) = 0;
};

}  // namespace talv
