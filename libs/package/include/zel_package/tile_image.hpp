#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel_package {

// One piece of a tile's memory: `memory_size` bytes from `address`, of which the first
// `data.size()` are stored in the package and the rest are zero.
struct Segment {
  std::uint32_t address = 0;
  std::uint32_t memory_size = 0;
  std::vector<std::byte> data;
  // Stored unchanged; nothing in the host stack interprets them.
  std::uint32_t flags = 0;

  bool operator==(const Segment&) const = default;
};

// The loadable image of one tile.
struct TileImage {
  std::uint32_t physical_tile = 0;
  std::uint32_t entry_point = 0;
  std::uint32_t command_address = 0;
  std::uint32_t diagnostic_address = 0;
  std::vector<Segment> segments;

  bool operator==(const TileImage&) const = default;
};

}  // namespace zel_package
