#include "zel_sim/sim_bootloader.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "zel_driver/bytes.hpp"
#include "zel_driver/loader_transport.hpp"
#include "zel_driver/tile_debug.hpp"
#include "zel_driver/tile_framing.hpp"

namespace zel_sim {

using namespace zel_driver;

namespace {

// Offsets below come from the descriptor table or stay inside a checked frame.
std::uint32_t word(std::span<const std::byte> bytes, std::size_t offset) {
  return *read_u32(bytes, offset);
}

// Compared a block at a time: byte by byte, the 42 MB of a sentinel would dominate a load.
bool is_sentinel(std::span<const std::byte> transport) {
  static const std::vector<std::byte> block(64 * 1024, SENTINEL_FILL);
  for (std::size_t done = 0; done < transport.size(); done += block.size()) {
    const std::size_t size = std::min(block.size(), transport.size() - done);
    if (std::memcmp(transport.data() + done, block.data(), size) != 0) return false;
  }
  return true;
}

}  // namespace

void SimBootloader::tiles_initialized(std::uint32_t tiles, std::span<const std::byte> prefix) {
  const bool program = std::ranges::any_of(prefix, [](std::byte b) { return b != std::byte{0}; });
  phase_ = program ? Phase::Batches : Phase::Inactive;
  bootloader_tiles_ = program ? tiles : 0;
  batches_ = 0;
  loaded_.assign(bootloader_tiles_, false);
}

std::optional<std::chrono::nanoseconds> SimBootloader::take_mark(std::uint32_t mark,
                                                                 std::chrono::nanoseconds now) {
  if (phase_ == Phase::Started) return reach_initial_sync(now);
  if (mark != BATCH_MARK) {
    refuse(
        fmt::format("bootloader: mark {} while waiting for a batch or the execute sentinel", mark));
    return std::nullopt;
  }
  const auto transport = buffers_.memory(TRANSPORT_INDEX);
  if (!transport) {
    refuse(fmt::format("bootloader: no transport attached under index {}", TRANSPORT_INDEX));
    return std::nullopt;
  }
  if (is_sentinel(*transport)) return start_tiles(now);
  return take_batch(*transport, now);
}

std::optional<std::chrono::nanoseconds> SimBootloader::take_batch(
    std::span<const std::byte> transport, std::chrono::nanoseconds now) {
  const std::uint32_t batch = batches_++;
  if (faults_.bootloader_batch_unacknowledged == batch) return std::nullopt;
  const auto bytes = read_batch(batch, transport);
  if (!bytes) return std::nullopt;
  return now + BATCH_SETUP_TIME + TRANSFER_TIME_PER_KIB * static_cast<std::int64_t>(*bytes) / 1024;
}

std::optional<std::chrono::nanoseconds> SimBootloader::start_tiles(std::chrono::nanoseconds now) {
  if (faults_.bootloader_sentinel_unacknowledged) return std::nullopt;
  phase_ = Phase::Started;
  return now + START_TIME;
}

std::optional<std::chrono::nanoseconds> SimBootloader::reach_initial_sync(
    std::chrono::nanoseconds now) {
  if (faults_.bootloader_final_mark_unacknowledged) return std::nullopt;
  for (std::uint32_t tile = 0; tile < loaded_.size(); ++tile) {
    if (!loaded_[tile]) continue;
    tiles_.set_context_state(tile, 0, TILE_CONTEXT_RUNNING);
    for (std::uint32_t worker = 1; worker < TILE_CONTEXT_COUNT; ++worker) {
      tiles_.set_context_state(tile, worker, TILE_CONTEXT_INACTIVE);
    }
  }
  phase_ = Phase::Inactive;
  return now + INITIAL_SYNC_TIME;
}

std::optional<std::size_t> SimBootloader::read_batch(std::uint32_t batch,
                                                     std::span<const std::byte> transport) {
  const std::size_t table_bytes = BATCH_SLOTS * DESCRIPTOR_BYTES;
  if (transport.size() < table_bytes) {
    refuse(fmt::format("bootloader batch {}: a 0x{:x}-byte transport holds no descriptor table",
                       batch, transport.size()));
    return std::nullopt;
  }
  std::size_t bytes = table_bytes;
  for (std::size_t slot = 0; slot < BATCH_SLOTS; ++slot) {
    const Descriptor descriptor{word(transport, slot * DESCRIPTOR_BYTES + DESCRIPTOR_OFFSET_FIELD),
                                word(transport, slot * DESCRIPTOR_BYTES + DESCRIPTOR_FRAMES_FIELD)};
    if (descriptor.offset == 0 && descriptor.frames == 0) continue;  // an empty slot
    if (!read_slot(fmt::format("bootloader batch {} slot {}", batch, slot), transport,
                   descriptor)) {
      return std::nullopt;
    }
    bytes += descriptor.frames * FRAME_BYTES;
  }
  return bytes;
}

bool SimBootloader::read_slot(const std::string& where, std::span<const std::byte> transport,
                              const Descriptor& descriptor) {
  const auto [offset, frames] = descriptor;
  if (frames == 0 || frames > MAX_TILE_FRAMES) {
    refuse(fmt::format("{}: {} frames at 0x{:x}, expected 1 to {}", where, frames, offset,
                       MAX_TILE_FRAMES));
    return false;
  }
  if (offset > transport.size() || frames * FRAME_BYTES > transport.size() - offset) {
    refuse(fmt::format("{}: frames 0x{:x}..0x{:x} outside the 0x{:x}-byte transport", where, offset,
                       offset + frames * FRAME_BYTES, transport.size()));
    return false;
  }
  const std::uint32_t tile = word(transport, offset + FRAME_TILE_OFFSET);
  for (std::size_t n = 0; n < frames; ++n) {
    const auto frame = transport.subspan(offset + n * FRAME_BYTES, FRAME_BYTES);
    if (auto fault = frame_fault(frame, n, frames, tile)) {
      refuse(fmt::format("{}: tile {} frame {}: {}", where, tile, n, *fault));
      return false;
    }
    memory_.write_bytes(
        tile, SECONDARY_LOADER_ADDRESS + static_cast<std::uint32_t>(n * FRAME_PAYLOAD_BYTES),
        frame.subspan(FRAME_HEADER_BYTES, FRAME_PAYLOAD_BYTES));
  }
  loaded_[tile] = true;
  return true;
}

std::optional<std::string> SimBootloader::frame_fault(std::span<const std::byte> frame,
                                                      std::size_t n, std::size_t frames,
                                                      std::uint32_t tile) const {
  if (const std::uint32_t number = word(frame, FRAME_NUMBER_OFFSET); number != n) {
    return fmt::format("frame number {}, expected {}", number, n);
  }
  if (const std::uint32_t other = word(frame, FRAME_TILE_OFFSET); other != tile) {
    return fmt::format("tile {}, expected {}", other, tile);
  }
  if (tile >= bootloader_tiles_) return std::string("tile runs no bootloader");
  const std::uint32_t expected_flags = n + 1 == frames ? LAST_FRAME_FLAG : 0;
  if (const std::uint32_t flags = word(frame, FRAME_FLAGS_OFFSET); flags != expected_flags) {
    return fmt::format("flags 0x{:x}, expected 0x{:x}", flags, expected_flags);
  }
  if (const std::uint32_t reserved = word(frame, FRAME_RESERVED_OFFSET); reserved != 0) {
    return fmt::format("reserved word 0x{:x}, expected 0", reserved);
  }
  const auto trailer = frame.last(FRAME_TRAILER_BYTES);
  if (!std::ranges::all_of(trailer, [](std::byte b) { return b == FRAME_TRAILER_FILL; })) {
    return std::string("trailer is not 16 bytes of 0xff");
  }
  return std::nullopt;
}

void SimBootloader::refuse(std::string what) { refusals_.push_back(std::move(what)); }

}  // namespace zel_sim
