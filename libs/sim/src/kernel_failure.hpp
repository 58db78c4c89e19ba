#pragma once

#include <cerrno>
#include <string>

#include "zel_sim/refusals.hpp"

namespace zel_sim {

// How the simulated kernel fails a call, as the real one does: -1 with the reason in errno.
inline int kernel_failure(int error) {
  errno = error;
  return -1;
}

// A call the kernel refuses as a departure from its interface: recorded, then failed.
inline int kernel_refusal(Refusals& refusals, const std::string& what, int error) {
  refusals.add("kernel: " + what);
  return kernel_failure(error);
}

}  // namespace zel_sim
