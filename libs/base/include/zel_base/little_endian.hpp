#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Little-endian 32-bit words in byte sequences, as the device, its kernel driver and the
// files of the system store them.
namespace zel_base {

// The word at `offset`, or none when fewer than offset + 4 bytes are there.
constexpr std::optional<std::uint32_t> load_u32_le(std::span<const std::byte> bytes,
                                                   std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
  return std::to_integer<std::uint32_t>(bytes[offset]) |
         std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
         std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16 |
         std::to_integer<std::uint32_t>(bytes[offset + 3]) << 24;
}

// Stores `value` at `offset`; the caller guarantees offset + 4 <= bytes.size().
constexpr void store_u32_le(std::span<std::byte> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::byte>(value);
  bytes[offset + 1] = static_cast<std::byte>(value >> 8);
  bytes[offset + 2] = static_cast<std::byte>(value >> 16);
  bytes[offset + 3] = static_cast<std::byte>(value >> 24);
}

}  // namespace zel_base
