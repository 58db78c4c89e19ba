#include "zel_driver/tile_framing.hpp"

#include <algorithm>
#include <cstring>

#include "zel_driver/bytes.hpp"

namespace zel_driver {

Result<std::vector<std::byte>> frame_tile(std::uint32_t physical_tile,
                                          std::span<const std::byte> image) {
  if (image.empty()) {
    return std::unexpected(DriverError::invalid("cannot frame empty tile image"));
  }
  const std::size_t frames = (image.size() - 1) / FRAME_PAYLOAD_BYTES + 1;
  // Zero-filled once at its final size: that already gives the reserved header word and the
  // zero tail of the last payload, so each frame only needs its own fields written.
  std::vector<std::byte> framed(frames * FRAME_BYTES);
  for (std::size_t n = 0; n < frames; ++n) {
    const std::span<std::byte> frame = std::span(framed).subspan(n * FRAME_BYTES, FRAME_BYTES);
    const bool last = n + 1 == frames;
    write_u32(frame, FRAME_NUMBER_OFFSET, static_cast<std::uint32_t>(n));
    write_u32(frame, FRAME_TILE_OFFSET, physical_tile);
    write_u32(frame, FRAME_FLAGS_OFFSET, last ? LAST_FRAME_FLAG : 0);
    const std::size_t start = n * FRAME_PAYLOAD_BYTES;
    const std::size_t payload = std::min(FRAME_PAYLOAD_BYTES, image.size() - start);
    std::memcpy(frame.data() + FRAME_HEADER_BYTES, image.data() + start, payload);
    std::memset(frame.data() + FRAME_HEADER_BYTES + FRAME_PAYLOAD_BYTES,
                std::to_integer<int>(FRAME_TRAILER_FILL), FRAME_TRAILER_BYTES);
  }
  return framed;
}

}  // namespace zel_driver
