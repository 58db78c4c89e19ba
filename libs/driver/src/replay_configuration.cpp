#include <cstdint>

#include "log_target.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/bytes.hpp"
#include "zel_driver/configuration_image.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/host_sync.hpp"
#include "zel_driver/registers.hpp"
#include "zel_log/log.hpp"

namespace zel_driver {

Status Device::replay_configuration(std::span<const std::byte> image) const {
  if (!has_configuration_magic(image))
    return std::unexpected(DriverError::invalid("bad configuration image"));
  ZEL_TRY_ASSIGN(auto count, read_u32(image, CONFIGURATION_IMAGE_COUNT_AT));
  zel_log::emit(zel_log::Level::Info, LOG_TARGET, "replaying device configuration",
                {{"register_writes", std::uint64_t{count}}});
  if (image.size() != configuration_image_size(count)) {
    return std::unexpected(DriverError::invalid("bad configuration image size"));
  }

  std::uint64_t skipped_host_sync_writes = 0;
  for (std::size_t record = 0; record < count; ++record) {
    const std::size_t at = CONFIGURATION_IMAGE_HEADER + CONFIGURATION_IMAGE_RECORD * record;
    ZEL_TRY_ASSIGN(auto offset, read_u32(image, at));
    ZEL_TRY_ASSIGN(auto value, read_u32(image, at + 4));
    // The capture saw the host sync protocol of the run it came from; replaying those marks
    // would hand the device stale handshakes.
    if (is_hsp_sync_register(offset)) {
      ++skipped_host_sync_writes;
      continue;
    }
    ZEL_TRY(write_config(offset, value));
    // Reading CCSR lets each write settle before the next one goes out.
    ZEL_TRY(read_config(CCSR));
  }

  ZEL_TRY(clear_host_sync_marks());
  zel_log::emit(zel_log::Level::Debug, LOG_TARGET, "discarded captured HSP protocol writes",
                {{"skipped_host_sync_writes", skipped_host_sync_writes}});
  return {};
}

}  // namespace zel_driver
