#include "zel_driver/tile_framing.hpp"

#include <algorithm>
#include <cstring>

#include "zel_base/try.hpp"
#include "zel_driver/bytes.hpp"

namespace zel_driver {

Result<std::vector<std::byte>> frame_tile(std::uint32_t physical_tile,
                                          std::span<const std::byte> image) {
  std::vector<std::byte> framed(frame_count(image.size()) * FRAME_BYTES);
  ZEL_TRY(frame_tile_into(physical_tile, image, framed));
  return framed;
}

Status frame_tile_into(std::uint32_t physical_tile, std::span<const std::byte> image,
                       std::span<std::byte> frames) {
  if (image.empty()) {
    return std::unexpected(DriverError::invalid("cannot frame empty tile image"));
  }
  const std::size_t count = frame_count(image.size());
  // Checked in every build: a wrong size would write past the caller's buffer.
  if (frames.size() != count * FRAME_BYTES) {
    return std::unexpected(DriverError::invalid("frame buffer does not fit the tile image"));
  }
  for (std::size_t n = 0; n < count; ++n) {
    const std::span<std::byte> frame = frames.subspan(n * FRAME_BYTES, FRAME_BYTES);
    const bool last = n + 1 == count;
    write_u32(frame, FRAME_NUMBER_OFFSET, static_cast<std::uint32_t>(n));
    write_u32(frame, FRAME_TILE_OFFSET, physical_tile);
    write_u32(frame, FRAME_FLAGS_OFFSET, last ? LAST_FRAME_FLAG : 0);
    write_u32(frame, FRAME_RESERVED_OFFSET, 0);
    const std::size_t start = n * FRAME_PAYLOAD_BYTES;
    const std::size_t payload = std::min(FRAME_PAYLOAD_BYTES, image.size() - start);
    std::byte* const payload_start = frame.data() + FRAME_HEADER_BYTES;
    std::memcpy(payload_start, image.data() + start, payload);
    // Only the last frame has a tail; the destination may hold anything (a reused transport).
    std::memset(payload_start + payload, 0, FRAME_PAYLOAD_BYTES - payload);
    std::memset(payload_start + FRAME_PAYLOAD_BYTES, std::to_integer<int>(FRAME_TRAILER_FILL),
                FRAME_TRAILER_BYTES);
  }
  return {};
}

}  // namespace zel_driver
