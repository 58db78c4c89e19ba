#pragma once

// Rules of package validation that other operations of the library rely on as well.

#include <cstdint>
#include <expected>

#include "zel_package/host_exchange.hpp"
#include "zel_package/package_error.hpp"
#include "zel_package/tile_image.hpp"
#include "zel_target/target.hpp"

namespace zel_package::detail {

// The end address of `segment` of tile `physical_tile`, once it is known to fit 32 bits, to
// lie inside `window` and to hold no more bytes than it occupies.
[[nodiscard]] std::expected<std::uint32_t, PackageError> checked_segment_end(
    std::uint32_t physical_tile, const Segment& segment, zel_target::AddressRange window);

// The host page table, the start-up protocol and every host call, in that order.
[[nodiscard]] std::expected<void, PackageError> validate_host_exchange(
    const HostExchange& exchange);

}  // namespace zel_package::detail
