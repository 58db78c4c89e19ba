#pragma once

#include <sys/mman.h>

#include "zel_base/backend.hpp"

namespace zel_driver {

// How the system backend maps, readable and writable both: the configuration space shared
// from the node; host memory for the device private, anonymous and populated up front.
inline constexpr int MAP_PROTECTION = PROT_READ | PROT_WRITE;
inline constexpr int CONFIG_BAR_MAP_FLAGS = MAP_SHARED;
inline constexpr int HOST_BUFFER_MAP_FLAGS = MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE;

// Real system calls, volatile accesses, the steady clock and nanosleep.
zel_base::Backend& system_backend();

}  // namespace zel_driver
