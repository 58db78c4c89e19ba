#pragma once

#include "zel_base/backend.hpp"

namespace zel_driver {

// Real system calls, volatile accesses, the steady clock and nanosleep.
zel_base::Backend& system_backend();

}  // namespace zel_driver
