#include "reset_memory/run.hpp"

#include <expected>
#include <optional>

#include <fmt/format.h>

#include "reset_memory/run_error.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/signals.hpp"

namespace reset_memory {
namespace {

using zel_driver::Device;

// The steps after the device is open. Until the bring-up and the check exist, a run must not
// look like success.
std::expected<void, RunError> run_on_device(const Device&, std::span<const std::string>) {
  return std::unexpected(RunError::text("device bring-up is not available in this build"));
}

std::expected<void, RunError> run_steps(std::span<const std::string> arguments,
                                        zel_driver::Backend& backend) {
  if (auto blocked = zel_driver::block_device_interrupt_signals(); !blocked) {
    return std::unexpected(std::move(blocked.error()));
  }
  if (arguments.empty()) return std::unexpected(RunError::text("configuration file required"));
  auto device = Device::open(DEVICE_PATH, backend);
  if (!device) return std::unexpected(std::move(device.error()));
  // The device is released when this scope ends, before the caller writes any error line.
  return run_on_device(*device, arguments);
}

}  // namespace

int run(std::span<const std::string> arguments, zel_driver::Backend& backend, std::ostream& out,
        std::ostream& err) {
  (void)out;
  auto result = run_steps(arguments, backend);
  if (!result) {
    err << fmt::format("Error: {:?}\n", result.error()) << std::flush;
    return EXIT_ERROR;
  }
  return EXIT_OK;
}

}  // namespace reset_memory
