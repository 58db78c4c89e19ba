#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "zel_driver/driver_error.hpp"

namespace zel_driver {

// The little-endian 32-bit value at `offset`, or Invalid("truncated data") when fewer than
// offset + 4 bytes are there.
std::expected<std::uint32_t, DriverError> read_u32(std::span<const std::byte> bytes,
                                                   std::size_t offset);

}  // namespace zel_driver
