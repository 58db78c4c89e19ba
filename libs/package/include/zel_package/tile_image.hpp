#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zel_package/segment_data.hpp"

namespace zel_package {

// One piece of a tile's memory: `memory_size` bytes from `address`, of which the first
// `data.size()` are stored in the package and the rest are zero.
struct Segment {
  std::uint32_t address = 0;
  std::uint32_t memory_size = 0;
  SegmentData data;
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

// Where a tile's contiguous memory image lies: from its lowest segment address, `bytes` long
// up to its highest segment end.
struct TileImageExtent {
  std::uint32_t load_base = 0;
  std::size_t bytes = 0;
};

// The extent of the image of `tile`, which has at least one segment; emits the TRACE event
// "reconstructing tile image". Whoever builds the image calls it once per image.
TileImageExtent tile_image_extent(const TileImage& tile);

// Bytes [offset, offset + out.size()) of the image of `tile` that starts at `load_base`:
// every segment's stored bytes in place, in list order, and zero elsewhere, past the image's
// end too. Every segment must lie at or above `load_base`.
void copy_tile_image(const TileImage& tile, std::uint32_t load_base, std::size_t offset,
                     std::span<std::byte> out);

}  // namespace zel_package
