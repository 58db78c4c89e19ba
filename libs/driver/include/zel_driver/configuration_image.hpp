#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// A configuration image: the magic, a 32-bit record count, then (offset, value) records of
// two 32-bit words each, all little-endian, ending right after the last record.
namespace zel_driver {

inline constexpr std::array<char, 8> CONFIGURATION_IMAGE_MAGIC{'Z', 'E', 'L', 'C',
                                                               'F', 'G', '1', '\0'};
inline constexpr std::size_t CONFIGURATION_IMAGE_HEADER = 12;
inline constexpr std::size_t CONFIGURATION_IMAGE_RECORD = 8;
// Where the record count sits in the header.
inline constexpr std::size_t CONFIGURATION_IMAGE_COUNT_AT = CONFIGURATION_IMAGE_MAGIC.size();

// Whether `image` holds a whole header that starts with the magic.
inline bool has_configuration_magic(std::span<const std::byte> image) {
  return image.size() >= CONFIGURATION_IMAGE_HEADER &&
         std::equal(CONFIGURATION_IMAGE_MAGIC.begin(), CONFIGURATION_IMAGE_MAGIC.end(),
                    image.begin(), [](char expected, std::byte actual) {
                      return static_cast<std::byte>(expected) == actual;
                    });
}

// The length of an image of `count` records. 64-bit: eight times any 32-bit count fits.
constexpr std::uint64_t configuration_image_size(std::uint32_t count) {
  return CONFIGURATION_IMAGE_HEADER + CONFIGURATION_IMAGE_RECORD * std::uint64_t{count};
}

}  // namespace zel_driver
