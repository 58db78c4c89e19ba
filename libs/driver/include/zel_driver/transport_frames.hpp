#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "zel_driver/device.hpp"

// The transport's frames, the unit in which tile images travel to the tile bootloader: 1024
// bytes each, a 16-byte header (frame number, physical tile, flags, zero word), 992 payload
// bytes and 16 bytes of 0xFF; all numbers little-endian.
namespace zel_driver {

inline constexpr std::size_t FRAME_BYTES = 0x400;
inline constexpr std::size_t FRAME_HEADER_BYTES = 16;
inline constexpr std::size_t FRAME_PAYLOAD_BYTES = 0x3e0;
inline constexpr std::size_t FRAME_TRAILER_BYTES = 16;
static_assert(FRAME_HEADER_BYTES + FRAME_PAYLOAD_BYTES + FRAME_TRAILER_BYTES == FRAME_BYTES);

// Byte offsets of the header fields inside a frame.
inline constexpr std::size_t FRAME_NUMBER_OFFSET = 0;
inline constexpr std::size_t FRAME_TILE_OFFSET = 4;
inline constexpr std::size_t FRAME_FLAGS_OFFSET = 8;
inline constexpr std::size_t FRAME_RESERVED_OFFSET = 12;

// Flags word of a tile's last frame; every other frame carries 0.
inline constexpr std::uint32_t LAST_FRAME_FLAG = 0x08000000;
inline constexpr std::byte FRAME_TRAILER_FILL{0xff};

// The frames an image of `image_bytes` bytes takes: ceil(image_bytes / 992).
constexpr std::size_t frame_count(std::size_t image_bytes) {
  return (image_bytes + FRAME_PAYLOAD_BYTES - 1) / FRAME_PAYLOAD_BYTES;
}

// Cuts `image` into frame_count(size) frames for `physical_tile`, numbered from 0; the
// payload past the end of the image in the last frame is zero. An empty image is
// Invalid("cannot frame empty tile image").
[[nodiscard]] Result<std::vector<std::byte>> frame_tile(std::uint32_t physical_tile,
                                                        std::span<const std::byte> image);

// The same framing written in place: `frames` must be exactly frame_count(image.size()) x
// 1024 bytes, and every one of its bytes is written, whatever it held before. An empty image
// is Invalid("cannot frame empty tile image"), a buffer of another size Invalid("frame buffer
// does not fit the tile image"); either writes nothing.
[[nodiscard]] Status frame_tile_into(std::uint32_t physical_tile, std::span<const std::byte> image,
                                     std::span<std::byte> frames);

// Writes bytes [offset, offset + out.size()) of an image into `out`, zero past its end.
using ImageBytes = std::function<void(std::size_t offset, std::span<std::byte> out)>;

// The same framing of an image of `image_bytes` bytes that `image` writes straight into each
// frame's payload, so that no copy of the whole image is made first.
[[nodiscard]] Status frame_tile_into(std::uint32_t physical_tile, std::size_t image_bytes,
                                     const ImageBytes& image, std::span<std::byte> frames);

}  // namespace zel_driver
