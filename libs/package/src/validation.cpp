#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "validation_rules.hpp"
#include "zel_base/try.hpp"
#include "zel_package/application.hpp"

namespace zel_package {

namespace {

using Status = std::expected<void, PackageError>;
using TileIds = std::unordered_set<std::uint32_t>;
using zel_target::AddressRange;

constexpr std::uint32_t CONFIG_WRITE_ALIGNMENT = 4;

std::unexpected<PackageError> invalid(std::string text) {
  return std::unexpected(PackageError::invalid(std::move(text)));
}

// The sum of two 32-bit values, or none when it does not fit 32 bits.
std::optional<std::uint32_t> checked_add(std::uint32_t a, std::uint32_t b) {
  const std::uint64_t sum = std::uint64_t{a} + b;
  if (sum > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(sum);
}

[[nodiscard]] Status validate_config_writes(const std::vector<DeviceConfigWrite>& writes) {
  std::unordered_set<std::uint32_t> offsets;
  for (const DeviceConfigWrite& write : writes) {
    if (write.offset % CONFIG_WRITE_ALIGNMENT != 0 || !offsets.insert(write.offset).second) {
      return invalid("unaligned or duplicate device configuration write");
    }
  }
  return {};
}

[[nodiscard]] Status validate_segments(const TileImage& tile, AddressRange window) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  ranges.reserve(tile.segments.size());
  for (const Segment& segment : tile.segments) {
    ZEL_TRY_ASSIGN(auto end, detail::checked_segment_end(tile.physical_tile, segment, window));
    // An empty segment occupies nothing, wherever it lies.
    if (segment.memory_size != 0) ranges.emplace_back(segment.address, end);
  }
  std::sort(ranges.begin(), ranges.end());
  const auto overlap =
      std::adjacent_find(ranges.begin(), ranges.end(),
                         [](auto first, auto second) { return first.second > second.first; });
  if (overlap != ranges.end()) {
    return invalid(fmt::format("overlapping segments on tile {}: 0x{:x}..0x{:x} and 0x{:x}..0x{:x}",
                               tile.physical_tile, overlap->first, overlap->second,
                               (overlap + 1)->first, (overlap + 1)->second));
  }
  return {};
}

[[nodiscard]] std::expected<TileIds, PackageError> validate_tiles(
    const std::vector<TileImage>& tiles, AddressRange window) {
  TileIds tile_ids;
  for (const TileImage& tile : tiles) {
    if (!tile_ids.insert(tile.physical_tile).second) {
      return invalid(fmt::format("duplicate physical tile {}", tile.physical_tile));
    }
    ZEL_TRY(validate_segments(tile, window));
  }
  return tile_ids;
}

bool steps_in_order(const std::vector<ProfileStep>& steps) {
  for (std::size_t position = 0; position < steps.size(); ++position) {
    if (steps[position].local_index != position) return false;
  }
  return true;
}

[[nodiscard]] Status validate_profile_plans(const std::vector<TileProfilePlan>& plans,
                                            const TileIds& tile_ids) {
  TileIds planned;
  for (const TileProfilePlan& plan : plans) {
    if (!tile_ids.contains(plan.physical_tile) || !planned.insert(plan.physical_tile).second ||
        !steps_in_order(plan.steps)) {
      return invalid("invalid tile profile plan");
    }
  }
  return {};
}

bool region_valid(const DebugRegion& region, const TileIds& tile_ids) {
  return !region.name.empty() && region.size != 0 &&
         checked_add(region.address, region.size).has_value() &&
         (region.physical_tile == DebugRegion::ANY_TILE || tile_ids.contains(region.physical_tile));
}

[[nodiscard]] Status validate_debug_map(const std::vector<DebugSymbol>& symbols,
                                        const std::vector<DebugRegion>& regions,
                                        const TileIds& tile_ids) {
  const bool symbols_named =
      std::none_of(symbols.begin(), symbols.end(),
                   [](const DebugSymbol& symbol) { return symbol.name.empty(); });
  const bool regions_valid =
      std::all_of(regions.begin(), regions.end(),
                  [&](const DebugRegion& region) { return region_valid(region, tile_ids); });
  if (!symbols_named || !regions_valid) return invalid("invalid package debug map");
  return {};
}

[[nodiscard]] Status validate_slice(const Binding& binding, const RegionSlice& slice,
                                    const TileIds& tile_ids, AddressRange window) {
  if (slice.size > std::numeric_limits<std::uint32_t>::max()) {
    return invalid(fmt::format("binding {} slice is too large", binding.name));
  }
  const auto end = checked_add(slice.tile_address, static_cast<std::uint32_t>(slice.size));
  if (!end) return invalid("binding address overflow");
  if (!tile_ids.contains(slice.tile) || slice.tile_address < window.start || *end > window.end) {
    return invalid(fmt::format("binding {} references invalid tile memory", binding.name));
  }
  return {};
}

[[nodiscard]] Status validate_bindings(const Application& app, const TileIds& tile_ids,
                                       AddressRange window) {
  // Names are unique over inputs, outputs and weights together.
  std::unordered_set<std::string_view> names;
  for (const auto* bindings : {&app.inputs, &app.outputs, &app.weights}) {
    for (const Binding& binding : *bindings) {
      if (binding.name.empty() || !names.insert(binding.name).second) {
        return invalid(fmt::format("empty or duplicate binding {}", binding.name));
      }
      ZEL_TRY(binding.byte_len());
      for (const RegionSlice& slice : binding.slices) {
        ZEL_TRY(validate_slice(binding, slice, tile_ids, window));
      }
    }
  }
  return {};
}

}  // namespace

namespace detail {

[[nodiscard]] std::expected<std::uint32_t, PackageError> checked_segment_end(
    std::uint32_t physical_tile, const Segment& segment, AddressRange window) {
  const auto end = checked_add(segment.address, segment.memory_size);
  if (!end) return invalid("segment address overflow");
  if (segment.address < window.start || *end > window.end ||
      segment.data.size() > segment.memory_size) {
    return invalid(fmt::format(
        "invalid segment on tile {}: address=0x{:x} end=0x{:x} memory_size={} data_size={}",
        physical_tile, segment.address, *end, segment.memory_size, segment.data.size()));
  }
  return *end;
}

}  // namespace detail

std::expected<void, PackageError> Application::validate() const {
  if (tiles.empty()) return invalid("application has no tiles");
  ZEL_TRY(validate_config_writes(device_config_writes));
  const AddressRange window = target.tile_memory();
  ZEL_TRY_ASSIGN(const auto tile_ids, validate_tiles(tiles, window));
  ZEL_TRY(validate_profile_plans(profile_tiles, tile_ids));
  ZEL_TRY(validate_debug_map(debug_symbols, debug_regions, tile_ids));
  ZEL_TRY(validate_bindings(*this, tile_ids, window));
  return detail::validate_host_exchange(host_exchange);
}

}  // namespace zel_package
