#pragma once

#include <string>

#include "reset_memory/run_end.hpp"
#include "zel_driver/device.hpp"

namespace reset_memory {

// Replays the configuration image read anew from `config_path`.
[[nodiscard]] Step replay_configuration_file(const zel_driver::Device& device,
                                             const std::string& config_path);

// Brings the device to its initialized state and replays the configuration image. The tool
// does this before the load and again before the reset.
[[nodiscard]] Step restore_configuration(const zel_driver::Device& device,
                                         const std::string& config_path);

}  // namespace reset_memory
