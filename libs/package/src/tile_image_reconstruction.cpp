#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "log_target.hpp"
#include "validation_rules.hpp"
#include "zel_base/try.hpp"
#include "zel_log/log.hpp"
#include "zel_package/application.hpp"

namespace zel_package {

namespace {

const TileImage* find_tile(const std::vector<TileImage>& tiles, std::uint32_t physical_tile) {
  const auto found = std::find_if(tiles.begin(), tiles.end(), [&](const TileImage& tile) {
    return tile.physical_tile == physical_tile;
  });
  return found == tiles.end() ? nullptr : &*found;
}

}  // namespace

TileImageExtent tile_image_extent(const TileImage& tile) {
  const auto lowest = std::ranges::min_element(tile.segments, {}, &Segment::address);
  const std::uint32_t load_base = lowest->address;
  std::size_t bytes = 0;
  for (const Segment& segment : tile.segments) {
    bytes = std::max<std::size_t>(bytes, segment.address - load_base + segment.memory_size);
  }
  zel_log::emit(zel_log::Level::Trace, LOG_TARGET, "reconstructing tile image",
                {{"physical_tile", std::uint64_t{tile.physical_tile}},
                 {"load_base", zel_log::Hex{load_base}},
                 {"image_bytes", std::uint64_t{bytes}}});
  return {.load_base = load_base, .bytes = bytes};
}

void copy_tile_image(const TileImage& tile, std::uint32_t load_base, std::size_t offset,
                     std::span<std::byte> out) {
  if (out.empty()) return;  // an empty image has no data to point at
  std::memset(out.data(), 0, out.size());
  const std::size_t end = offset + out.size();
  for (const Segment& segment : tile.segments) {
    const std::size_t start = segment.address - load_base;
    const std::size_t from = std::max(start, offset);
    const std::size_t to = std::min(start + segment.data.size(), end);
    if (from < to) {
      std::memcpy(out.data() + (from - offset), segment.data.data() + (from - start), to - from);
    }
  }
}

std::expected<std::vector<std::byte>, PackageError> Application::tile_image(
    std::uint32_t physical_tile) const {
  const TileImage* tile = find_tile(tiles, physical_tile);
  if (tile == nullptr) {
    return std::unexpected(PackageError::invalid(fmt::format("unknown tile {}", physical_tile)));
  }
  if (tile->segments.empty()) {
    return std::unexpected(PackageError::invalid("tile has no loadable segments"));
  }
  // Validation guarantees these; checking them again keeps every copy below inside the image
  // when a caller skipped it.
  for (const Segment& segment : tile->segments) {
    ZEL_TRY(detail::checked_segment_end(physical_tile, segment, target.tile_memory()));
  }
  const TileImageExtent extent = tile_image_extent(*tile);
  std::vector<std::byte> image(extent.bytes);
  copy_tile_image(*tile, extent.load_base, 0, image);
  return image;
}

}  // namespace zel_package
