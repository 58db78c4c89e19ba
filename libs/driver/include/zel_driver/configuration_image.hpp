#pragma once

#include <array>
#include <cstddef>

// A configuration image: the magic, a 32-bit record count, then (offset, value) records of
// two 32-bit words each, all little-endian, ending right after the last record.
namespace zel_driver {

inline constexpr std::array<char, 8> CONFIGURATION_IMAGE_MAGIC{'Z', 'E', 'L', 'C',
                                                               'F', 'G', '1', '\0'};
inline constexpr std::size_t CONFIGURATION_IMAGE_HEADER = 12;
inline constexpr std::size_t CONFIGURATION_IMAGE_RECORD = 8;

}  // namespace zel_driver
