#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "zel_base/little_endian.hpp"

// How the simulated kernel reaches the caller's memory: it copies an argument record in as
// bytes and decodes the fields itself, little-endian at the record's offsets.
namespace zel_sim {

// The `N` bytes at `address`; none for a null address.
template <std::size_t N>
std::optional<std::array<std::byte, N>> copy_in(std::uint64_t address) {
  if (address == 0) return std::nullopt;
  std::array<std::byte, N> bytes;
  std::memcpy(bytes.data(), reinterpret_cast<const void*>(address), N);
  return bytes;
}

inline void copy_out(std::uint64_t address, std::span<const std::byte> bytes) {
  std::memcpy(reinterpret_cast<void*>(address), bytes.data(), bytes.size());
}

// Fields of a record already copied in: the offsets come from the record's layout.
inline std::uint32_t field_u32(std::span<const std::byte> record, std::size_t offset) {
  return *zel_base::load_u32_le(record, offset);
}
inline std::uint64_t field_u64(std::span<const std::byte> record, std::size_t offset) {
  return std::uint64_t{field_u32(record, offset + 4)} << 32 | field_u32(record, offset);
}

}  // namespace zel_sim
