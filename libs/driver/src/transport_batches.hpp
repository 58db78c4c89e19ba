#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zel_driver/device.hpp"
#include "zel_driver/transport.hpp"
#include "zel_driver/transport_frames.hpp"

namespace zel_driver {

// Writes the loader's batches of transport frames and the execute sentinel into the transport. Once
// a batch is ended the buffer holds exactly the protocol's bytes, yet a batch costs only what it
// writes: the buffer starts zero, a batch's frames overwrite the previous batch's, and only
// what the previous batch wrote beyond the new one's end is cleared.
class TransportBatches {
 public:
  // `transport` starts all zero.
  explicit TransportBatches(std::span<std::byte> transport) : transport_(transport) {}

  // Every slot is empty and the next image goes to the first frame offset.
  void begin_batch();
  // Frames the image of `image_bytes` bytes that `image` writes, for `physical_tile`, at the
  // next free offset and describes it in `slot`. Invalid("tile batch exceeds transport") when
  // the frames would run past the end, and the framing's error for an empty image; nothing is
  // written then.
  [[nodiscard]] Status add_tile(std::size_t slot, std::uint32_t physical_tile,
                                std::size_t image_bytes, const ImageBytes& image);
  // Zero after the batch's last frame: the transport holds the batch and nothing else.
  void end_batch();
  // Where the next image would go: the first frame offset plus the batch's framed bytes.
  std::size_t cursor() const { return cursor_; }
  // Every byte 0xFF.
  void fill_sentinel();

 private:
  std::span<std::byte> transport_;
  std::size_t cursor_ = FIRST_FRAME_OFFSET;
  // Bytes from the start that may be non-zero.
  std::size_t written_ = 0;
};

}  // namespace zel_driver
