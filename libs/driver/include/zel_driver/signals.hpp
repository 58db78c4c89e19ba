#pragma once

#include <expected>

#include "zel_driver/driver_error.hpp"

namespace zel_driver {

// Blocks every blockable signal for the calling thread. Called first thing in a process, the
// mask is inherited by every thread it starts later; interrupt and termination signals then
// stay pending instead of ending the process in the middle of a device sequence.
[[nodiscard]] std::expected<void, DriverError> block_device_interrupt_signals();

}  // namespace zel_driver
