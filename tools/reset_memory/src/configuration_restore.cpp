#include "reset_memory/configuration_restore.hpp"

#include "reset_memory/file_bytes.hpp"
#include "zel_base/try.hpp"

namespace reset_memory {

[[nodiscard]] Step replay_configuration_file(const zel_driver::Device& device,
                                             const std::string& config_path) {
  ZEL_TRY_ASSIGN(const auto image, read_configuration_image(config_path));
  ZEL_TRY(device.replay_configuration(image));
  return {};
}

[[nodiscard]] Step restore_configuration(const zel_driver::Device& device,
                                         const std::string& config_path) {
  ZEL_TRY(device.initialize());
  return replay_configuration_file(device, config_path);
}

}  // namespace reset_memory
