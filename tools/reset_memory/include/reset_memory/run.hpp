#pragma once

#include <ostream>
#include <span>
#include <string>

#include "zel_driver/system_backend.hpp"

namespace reset_memory {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_ERROR = 1;
inline constexpr int EXIT_CHECK_FAILED = 101;

inline constexpr const char* DEVICE_PATH = "/dev/zel0";

// The whole tool: `arguments` are the command-line arguments after the program name. Writes
// the result lines to `out`, the error line or failure report to `err`, and returns the exit
// status.
int run(std::span<const std::string> arguments, zel_base::Backend& backend, std::ostream& out,
        std::ostream& err);

}  // namespace reset_memory
