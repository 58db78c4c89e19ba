#include "zel_driver/transport_frames.hpp"

#include <algorithm>
#include <cstring>

#include "zel_base/try.hpp"
#include "zel_driver/bytes.hpp"

namespace zel_driver {

[[nodiscard]] Result<std::vector<std::byte>> frame_tile(std::uint32_t physical_tile,
                                                        std::span<const std::byte> image) {
  std::vector<std::byte> framed(frame_count(image.size()) * FRAME_BYTES);
  ZEL_TRY(frame_tile_into(physical_tile, image, framed));
  return framed;
}

[[nodiscard]] Status frame_tile_into(std::uint32_t physical_tile, std::span<const std::byte> image,
                                     std::span<std::byte> frames) {
  const auto copy = [image](std::size_t offset, std::span<std::byte> out) {
    const std::size_t copied = std::min(out.size(), image.size() - offset);
    std::memcpy(out.data(), image.data() + offset, copied);
    std::memset(out.data() + copied, 0, out.size() - copied);
  };
  return frame_tile_into(physical_tile, image.size(), copy, frames);
}

[[nodiscard]] Status frame_tile_into(std::uint32_t physical_tile, std::size_t image_bytes,
                                     const ImageBytes& image, std::span<std::byte> frames) {
  if (image_bytes == 0) {
    return std::unexpected(DriverError::invalid("cannot frame empty tile image"));
  }
  const std::size_t count = frame_count(image_bytes);
  // Checked in every build: a wrong size would write past the caller's buffer.
  if (frames.size() != count * FRAME_BYTES) {
    return std::unexpected(DriverError::invalid("frame buffer does not fit the tile image"));
  }
  // Every byte of every frame is written: the destination may hold anything (a reused
  // transport).
  for (std::size_t n = 0; n < count; ++n) {
    const std::span<std::byte> frame = frames.subspan(n * FRAME_BYTES, FRAME_BYTES);
    write_u32(frame, FRAME_NUMBER_OFFSET, static_cast<std::uint32_t>(n));
    write_u32(frame, FRAME_TILE_OFFSET, physical_tile);
    write_u32(frame, FRAME_FLAGS_OFFSET, n + 1 == count ? LAST_FRAME_FLAG : 0);
    write_u32(frame, FRAME_RESERVED_OFFSET, 0);
    image(n * FRAME_PAYLOAD_BYTES, frame.subspan(FRAME_HEADER_BYTES, FRAME_PAYLOAD_BYTES));
    std::ranges::fill(frame.last(FRAME_TRAILER_BYTES), FRAME_TRAILER_FILL);
  }
  return {};
}

}  // namespace zel_driver
