#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "zel_package/package_error.hpp"

namespace zel_package {

// One piece of a binding's flat bytes, placed in the tile memory of one tile.
struct RegionSlice {
  std::uint32_t tile = 0;
  std::uint32_t tile_address = 0;
  std::uint64_t file_offset = 0;
  std::uint64_t size = 0;

  bool operator==(const RegionSlice&) const = default;
};

// A named tensor the host exchanges with the application.
struct Binding {
  std::string name;
  std::string dtype;
  std::vector<std::uint32_t> shape;
  std::vector<RegionSlice> slices;

  // The length of the flat bytes: the largest file_offset + size over the slices, 0 without
  // slices. Fails with "binding {name} file range overflows" when a sum exceeds 64 bits. Gaps
  // between slices are not looked for.
  [[nodiscard]] std::expected<std::uint64_t, PackageError> byte_len() const;

  bool operator==(const Binding&) const = default;
};

}  // namespace zel_package
