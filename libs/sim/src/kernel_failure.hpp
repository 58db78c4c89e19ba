#pragma once

#include <cerrno>

namespace zel_sim {

// How the simulated kernel refuses a call, as the real one does: -1 with the reason in errno.
inline int kernel_failure(int error) {
  errno = error;
  return -1;
}

}  // namespace zel_sim
