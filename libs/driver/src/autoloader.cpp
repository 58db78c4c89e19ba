#include "zel_driver/autoloader.hpp"

#include <array>

#include "zel_base/try.hpp"
#include "zel_driver/bytes.hpp"
#include "zel_driver/deadline.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"

namespace zel_driver {

namespace {

bool valid_request(std::size_t tile_count, std::span<const std::byte> prefix) {
  return tile_count != 0 && tile_count - 1 <= AUTOLOADER_LAST_TILE_MASK && !prefix.empty() &&
         prefix.size() % AUTOLOADER_PREFIX_UNIT == 0 && prefix.size() <= AUTOLOADER_MAX_PREFIX;
}

}  // namespace

Status Device::initialize_tile_memory(std::size_t tile_count,
                                      std::span<const std::byte> prefix) const {
  if (!valid_request(tile_count, prefix)) {
    return std::unexpected(DriverError::invalid("invalid autoloader memory initialization"));
  }
  const auto words = static_cast<std::uint32_t>(prefix.size() / 4);
  const auto kib = static_cast<std::uint32_t>(prefix.size() / AUTOLOADER_PREFIX_UNIT);
  const std::uint32_t load_pointer = (words - 1) & AUTOLOADER_LOAD_POINTER_MASK;
  const auto last_tile = static_cast<std::uint32_t>(tile_count - 1);

  ZEL_TRY(write_config(AUTOLOADER_CONTROL, 0));
  for (std::uint32_t i = 0; i < words; ++i) {
    ZEL_TRY_ASSIGN(auto word, read_u32(prefix, std::size_t{4} * i));
    ZEL_TRY(write_config(AUTOLOADER_DATA, word));
    if (i % AUTOLOADER_WORDS_PER_READBACK == AUTOLOADER_WORDS_PER_READBACK - 1) {
      ZEL_TRY(read_config(AUTOLOADER_CONTROL));
    }
  }

  ZEL_TRY(write_config(AUTOLOADER_ZONE, AUTOLOADER_ZONE_BIT | kib << 10));
  ZEL_TRY(
      write_config(AUTOLOADER_CONTROL, load_pointer | AUTOLOADER_FIRST_COMMAND | AUTOLOADER_BUSY));
  ZEL_TRY(wait_autoloader(AUTOLOADER_TIMEOUT));

  ZEL_TRY(write_config(AUTOLOADER_ZONE, AUTOLOADER_WINDOW_ZONE | kib));
  ZEL_TRY(write_config(AUTOLOADER_CONTROL,
                       last_tile << AUTOLOADER_LAST_TILE_SHIFT | AUTOLOADER_BUSY | load_pointer));
  return wait_autoloader(AUTOLOADER_TIMEOUT);
}

Status Device::reset_tile_memory(std::size_t tile_count) const {
  static constexpr std::array<std::byte, AUTOLOADER_PREFIX_UNIT> zeros{};
  return initialize_tile_memory(tile_count, zeros);
}

Status Device::wait_autoloader(std::chrono::nanoseconds timeout) const {
  return poll_until(
      backend(), timeout, AUTOLOADER_POLL_INTERVAL,
      [&]() -> Result<bool> {
        ZEL_TRY_ASSIGN(const std::uint32_t control, read_config(AUTOLOADER_CONTROL));
        return (control & AUTOLOADER_BUSY) == 0;
      },
      [] { return DriverError::timeout("hardware autoloader"); });
}

}  // namespace zel_driver
