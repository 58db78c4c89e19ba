#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace zel_sim {

// A request the simulated kernel refuses: it returns `result` with errno set to `error`.
struct IoctlFault {
  unsigned long request;
  int error;
  int result = -1;
};

// The switches that make the simulated kernel driver and device misbehave. All off by
// default; tests and `zelsim run --fault` turn them on.
struct Faults {
  // The first entry naming a request decides its outcome.
  std::vector<IoctlFault> ioctl_failures;
  // The configuration mapping fails with this errno.
  std::optional<int> map_error;
};

}  // namespace zel_sim
