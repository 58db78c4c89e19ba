#include "transport_batches.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "zel_base/try.hpp"
#include "zel_driver/bytes.hpp"

namespace zel_driver {

void TransportBatches::begin_batch() {
  std::memset(transport_.data(), 0, BATCH_SLOTS * DESCRIPTOR_BYTES);
  cursor_ = FIRST_FRAME_OFFSET;
}

Status TransportBatches::add_tile(std::size_t slot, std::uint32_t physical_tile,
                                  std::size_t image_bytes, const ImageBytes& image) {
  const std::size_t framed = frame_count(image_bytes) * FRAME_BYTES;
  if (cursor_ + framed > transport_.size()) {
    return std::unexpected(DriverError::invalid("tile batch exceeds transport"));
  }
  ZEL_TRY(frame_tile_into(physical_tile, image_bytes, image, transport_.subspan(cursor_, framed)));
  const std::span<std::byte> descriptor =
      transport_.subspan(slot * DESCRIPTOR_BYTES, DESCRIPTOR_BYTES);
  write_u32(descriptor, DESCRIPTOR_OFFSET_FIELD, static_cast<std::uint32_t>(cursor_));
  write_u32(descriptor, DESCRIPTOR_FRAMES_FIELD, static_cast<std::uint32_t>(framed / FRAME_BYTES));
  cursor_ += framed;
  written_ = std::max(written_, cursor_);  // the descriptor table lies below the first frame
  return {};
}

void TransportBatches::end_batch() {
  if (written_ > cursor_) std::memset(transport_.data() + cursor_, 0, written_ - cursor_);
  written_ = cursor_;
}

void TransportBatches::fill_sentinel() {
  std::memset(transport_.data(), std::to_integer<int>(SENTINEL_FILL), transport_.size());
  written_ = transport_.size();
}

}  // namespace zel_driver
