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
  const auto lowest =
      std::min_element(tile->segments.begin(), tile->segments.end(),
                       [](const Segment& a, const Segment& b) { return a.address < b.address; });
  const std::uint32_t load_base = lowest->address;
  std::size_t image_size = 0;
  for (const Segment& segment : tile->segments) {
    image_size =
        std::max<std::size_t>(image_size, segment.address - load_base + segment.memory_size);
  }

  std::vector<std::byte> image(image_size);
  if (zel_log::enabled(zel_log::Level::Trace)) {
    const std::string base = fmt::format("0x{:x}", load_base);
    zel_log::emit(zel_log::Level::Trace, LOG_TARGET, "reconstructing tile image",
                  {{"physical_tile", std::uint64_t{physical_tile}},
                   {"load_base", base},
                   {"image_bytes", std::uint64_t{image_size}}});
  }
  for (const Segment& segment : tile->segments) {
    if (segment.data.empty()) continue;
    std::memcpy(image.data() + (segment.address - load_base), segment.data.data(),
                segment.data.size());
  }
  return image;
}

}  // namespace zel_package
