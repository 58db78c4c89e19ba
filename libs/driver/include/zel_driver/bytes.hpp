#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "zel_driver/driver_error.hpp"

namespace zel_driver {

// The little-endian 32-bit value at `offset`, or Invalid("truncated data") when fewer than
// offset + 4 bytes are there.
[[nodiscard]] std::expected<std::uint32_t, DriverError> read_u32(std::span<const std::byte> bytes,
                                                                 std::size_t offset);

// Stores `value` little-endian at `offset`; the caller guarantees offset + 4 <= bytes.size().
void write_u32(std::span<std::byte> bytes, std::size_t offset, std::uint32_t value);

}  // namespace zel_driver
