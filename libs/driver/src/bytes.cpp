#include "zel_driver/bytes.hpp"

namespace zel_driver {

[[nodiscard]] std::expected<std::uint32_t, DriverError> read_u32(std::span<const std::byte> bytes,
                                                                 std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) {
    return std::unexpected(DriverError::invalid("truncated data"));
  }
  return std::to_integer<std::uint32_t>(bytes[offset]) |
         std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
         std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16 |
         std::to_integer<std::uint32_t>(bytes[offset + 3]) << 24;
}

void write_u32(std::span<std::byte> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::byte>(value);
  bytes[offset + 1] = static_cast<std::byte>(value >> 8);
  bytes[offset + 2] = static_cast<std::byte>(value >> 16);
  bytes[offset + 3] = static_cast<std::byte>(value >> 24);
}

}  // namespace zel_driver
