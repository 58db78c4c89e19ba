#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "zel_base/try.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/host_sync.hpp"

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

struct ConfigurationRecord {
  std::uint32_t offset;
  std::uint32_t value;
};

// The checks of an image's form, apart from its replay, so that the same checks (and errors)
// serve a replay on a device and a check of the file alone. Refers to the caller's bytes.
class ConfigurationImage {
 public:
  // Invalid("bad configuration image") unless the image holds the magic and a record count.
  [[nodiscard]] static Result<ConfigurationImage> read_header(std::span<const std::byte> image);

  std::uint32_t count() const { return count_; }
  // Invalid("bad configuration image size") unless the image ends right after record count - 1.
  [[nodiscard]] Status check_size() const;
  // Record `index` (below count()); Invalid("truncated data") when the image is too short.
  [[nodiscard]] Result<ConfigurationRecord> record(std::size_t index) const;
  // Hands each record a replay writes, in order, to `write` (which returns a Status); the
  // records of the host sync registers are skipped. The number skipped, or the first error.
  template <class Write>
  [[nodiscard]] Result<std::uint64_t> for_each_replayed(Write&& write) const;

 private:
  ConfigurationImage(std::span<const std::byte> image, std::uint32_t count)
      : image_(image), count_(count) {}

  std::span<const std::byte> image_;
  std::uint32_t count_;
};

template <class Write>
Result<std::uint64_t> ConfigurationImage::for_each_replayed(Write&& write) const {
  std::uint64_t skipped = 0;
  for (std::size_t index = 0; index < count_; ++index) {
    ZEL_TRY_ASSIGN(const ConfigurationRecord found, record(index));
    // The capture saw the host sync protocol of the run it came from; replaying those marks
    // would hand the device stale handshakes.
    if (is_hsp_sync_register(found.offset)) {
      ++skipped;
      continue;
    }
    ZEL_TRY(write(found));
  }
  return skipped;
}

}  // namespace zel_driver
