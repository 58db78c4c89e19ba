#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "reset_memory/run_observer.hpp"
#include "zel_driver/system_backend.hpp"

namespace reset_memory {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_ERROR = 1;
inline constexpr int EXIT_CHECK_FAILED = 101;

inline constexpr const char* DEVICE_PATH = "/dev/zel0";

// What a companion command changes in a run; the tool itself runs with the defaults.
struct RunSettings {
  std::string_view device_path = DEVICE_PATH;
  RunObserver* observer = nullptr;
};

// The whole tool: `arguments` are the command-line arguments after the program name. Writes
// the result lines to `out`, the error line or failure report to `err`, and returns the exit
// status.
int run(std::span<const std::string> arguments, zel_base::Backend& backend, std::ostream& out,
        std::ostream& err, const RunSettings& settings = {});

}  // namespace reset_memory
