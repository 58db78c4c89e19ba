#include "reset_memory/configuration_restore.hpp"

#include "reset_memory/file_bytes.hpp"

namespace reset_memory {

Step restore_configuration(const zel_driver::Device& device, const std::string& config_path) {
  if (auto initialized = device.initialize(); !initialized) {
    return std::unexpected(RunError(std::move(initialized.error())));
  }
  auto image = read_file_bytes(config_path);
  if (!image) return std::unexpected(RunError(image.error()));
  if (auto replayed = device.replay_configuration(*image); !replayed) {
    return std::unexpected(RunError(std::move(replayed.error())));
  }
  return {};
}

}  // namespace reset_memory
