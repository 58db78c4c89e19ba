#pragma once

#include <cstdint>
#include <string>

namespace zel_package {

// A named address.
struct DebugSymbol {
  std::string name;
  std::uint32_t address = 0;

  bool operator==(const DebugSymbol&) const = default;
};

// A named memory region on one tile, or on none in particular (`ANY_TILE`).
struct DebugRegion {
  static constexpr std::uint32_t ANY_TILE = 0xffffffff;

  std::uint32_t physical_tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::string name;

  bool operator==(const DebugRegion&) const = default;
};

}  // namespace zel_package
