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

Result<ConfigurationImage> ConfigurationImage::read_header(std::span<const std::byte> image) {
  if (!has_configuration_magic(image))
    return std::unexpected(DriverError::invalid("bad configuration image"));
  ZEL_TRY_ASSIGN(auto count, read_u32(image, CONFIGURATION_IMAGE_COUNT_AT));
  return ConfigurationImage(image, count);
}

Status ConfigurationImage::check_size() const {
  if (image_.size() != configuration_image_size(count_)) {
    return std::unexpected(DriverError::invalid("bad configuration image size"));
  }
  return {};
}

Result<ConfigurationRecord> ConfigurationImage::record(std::size_t index) const {
  const std::size_t at = CONFIGURATION_IMAGE_HEADER + CONFIGURATION_IMAGE_RECORD * index;
  ZEL_TRY_ASSIGN(auto offset, read_u32(image_, at));
  ZEL_TRY_ASSIGN(auto value, read_u32(image_, at + 4));
  return ConfigurationRecord{offset, value};
}

Status Device::replay_configuration(std::span<const std::byte> bytes) const {
  ZEL_TRY_ASSIGN(auto image, ConfigurationImage::read_header(bytes));
  zel_log::emit(zel_log::Level::Info, LOG_TARGET, "replaying device configuration",
                {{"register_writes", std::uint64_t{image.count()}}});
  ZEL_TRY(image.check_size());

  ZEL_TRY_ASSIGN(const std::uint64_t skipped_host_sync_writes,
                 image.for_each_replayed([&](ConfigurationRecord record) -> Status {
                   ZEL_TRY(write_config(record.offset, record.value));
                   // Reading CCSR lets each write settle before the next one goes out.
                   ZEL_TRY(read_config(CCSR));
                   return {};
                 }));

  ZEL_TRY(clear_host_sync_marks());
  zel_log::emit(zel_log::Level::Debug, LOG_TARGET, "discarded captured HSP protocol writes",
                {{"skipped_host_sync_writes", skipped_host_sync_writes}});
  return {};
}

}  // namespace zel_driver
