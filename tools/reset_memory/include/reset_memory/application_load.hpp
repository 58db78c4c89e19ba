#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>

#include "reset_memory/run_end.hpp"
#include "reset_memory/run_observer.hpp"
#include "zel_base/stream_read.hpp"
#include "zel_driver/device.hpp"
#include "zel_package/application.hpp"

namespace reset_memory {

// The host sync mark that ends the load: the idle application's initial synchronization.
inline constexpr std::uint32_t FINAL_MARK = 23;

// Opens and reads the package at `path` (the package library checks and validates it).
// A stream that stays silent for `stall_limit` ends the read.
[[nodiscard]] std::expected<zel_package::Application, RunError> read_package(
    const std::string& path, std::chrono::milliseconds stall_limit = zel_base::STREAM_STALL_LIMIT);

// Reads the idle package at `package_path` (the bootloader file is read only once the package
// has read), loads the bootloader from `bootloader_path` and the application onto every tile,
// and applies the package's own configuration-space writes. Returns the application, kept for
// the rest of the run.
[[nodiscard]] std::expected<zel_package::Application, RunEnd> load_application(
    const zel_driver::Device& device, const std::string& package_path,
    const std::string& bootloader_path, Phases phases);

}  // namespace reset_memory
