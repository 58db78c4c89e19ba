#include "zel_sim/sim_bootloader.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "byte_fill.hpp"
#include "zel_base/little_endian.hpp"
#include "zel_sim/protocol/host_timeouts.hpp"
#include "zel_sim/protocol/registers.hpp"
#include "zel_sim/protocol/tile_debug.hpp"
#include "zel_sim/protocol/transport.hpp"

namespace zel_sim {

namespace {

// A whole batch of the largest images, and each handshake, is answered before the host
// gives up.
static_assert(SimBootloader::BATCH_SETUP_TIME +
                  SimBootloader::TRANSFER_TIME_PER_KIB * (transport::BYTES / 1024) <
              host_timeouts::MARK);
static_assert(SimBootloader::START_TIME < host_timeouts::MARK);
static_assert(SimBootloader::INITIAL_SYNC_TIME < host_timeouts::MARK);

// Offsets below come from the descriptor table or stay inside a checked frame.
std::uint32_t word(std::span<const std::byte> bytes, std::size_t offset) {
  return *zel_base::load_u32_le(bytes, offset);
}

constexpr std::size_t PAGE_BYTES = WrittenPages::PAGE_BYTES;

}  // namespace

void SimBootloader::tiles_initialized(std::uint32_t tiles, std::span<const std::byte> prefix) {
  const bool program = !all_bytes(prefix, std::byte{0});
  phase_ = program ? Phase::Batches : Phase::Inactive;
  bootloader_tiles_ = program ? tiles : 0;
  batches_ = 0;
  loaded_.assign(bootloader_tiles_, false);
  forget_zero_tail();
  device_.exchange_blocks.begin_transfer();
}

void SimBootloader::host_memory_made(std::span<const std::byte> memory) {
  forget_zero_tail();
  transport_writes_.watch(memory);
  transport_writes_.look(0);
  zero_from_page_ = 0;
}

std::optional<std::chrono::nanoseconds> SimBootloader::take_mark(std::uint32_t mark,
                                                                 std::chrono::nanoseconds now) {
  const bool ordered = std::exchange(ordered_since_mark_, false);
  if (phase_ == Phase::Started) return reach_initial_sync(mark, now);
  if (mark != transport::TRANSFER_MARK) {
    refuse(
        fmt::format("bootloader: mark {} while waiting for a batch or the execute sentinel", mark));
    return std::nullopt;
  }
  // Without the barrier, what the host wrote last may not have reached memory the device sees.
  if (!ordered) {
    refuse(
        fmt::format("bootloader: mark {} announces the transport with no barrier since the "
                    "previous mark",
                    mark));
    return std::nullopt;
  }
  const auto bytes = transport();
  if (!bytes) return std::nullopt;
  if (all_bytes(*bytes, std::byte{transport::SENTINEL_FILL})) return start_tiles(now);
  return take_batch(*bytes, now);
}

// The transport as the bootloader may read it now, or none after refusing.
std::optional<std::span<const std::byte>> SimBootloader::transport() {
  const auto bytes = device_.buffers.memory(transport::INDEX);
  if (!bytes) {
    refuse(fmt::format("bootloader: no transport attached under index {}", transport::INDEX));
    return std::nullopt;
  }
  if (bytes->size() != transport::BYTES) {
    refuse(fmt::format("bootloader: a 0x{:x}-byte transport, expected 0x{:x}", bytes->size(),
                       transport::BYTES));
    return std::nullopt;
  }
  if (auto fault = device_.exchange_blocks.transfer_fault()) {
    refuse("bootloader: " + *fault);
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::chrono::nanoseconds> SimBootloader::take_batch(
    std::span<const std::byte> transport, std::chrono::nanoseconds now) {
  const std::uint32_t batch = batches_++;
  if (faults_.bootloader_batch_unacknowledged == batch) {
    ++firings_.bootloader_batch_unacknowledged;
    return std::nullopt;
  }
  const std::string where = fmt::format("bootloader batch {}", batch);
  if (const std::uint32_t setup = device_.registers[reg::LOADER_SETUP / 4];
      setup != reg::LOADER_SETUP_VALUE) {
    refuse(fmt::format("{}: loader setup 0x{:x}, expected 0x{:x}", where, setup,
                       reg::LOADER_SETUP_VALUE));
    return std::nullopt;
  }
  const auto bytes = read_batch(where, transport);
  if (!bytes) return std::nullopt;
  // No batch can follow the last tile's: the sentinel fill need not be watched.
  if (std::ranges::find(loaded_, false) == loaded_.end()) forget_zero_tail();
  return now + BATCH_SETUP_TIME + TRANSFER_TIME_PER_KIB * static_cast<std::int64_t>(*bytes) / 1024;
}

std::optional<std::chrono::nanoseconds> SimBootloader::start_tiles(std::chrono::nanoseconds now) {
  if (const auto missing = std::ranges::find(loaded_, false); missing != loaded_.end()) {
    refuse(fmt::format("bootloader: execute sentinel before tile {} was loaded",
                       missing - loaded_.begin()));
    return std::nullopt;
  }
  if (faults_.bootloader_sentinel_unacknowledged) {
    ++firings_.bootloader_sentinel_unacknowledged;
    return std::nullopt;
  }
  phase_ = Phase::Started;
  return now + START_TIME;
}

std::optional<std::chrono::nanoseconds> SimBootloader::reach_initial_sync(
    std::uint32_t mark, std::chrono::nanoseconds now) {
  if (initial_sync_mark_ && mark != *initial_sync_mark_) {
    refuse(fmt::format("bootloader: final mark {}, the application waits for {}", mark,
                       *initial_sync_mark_));
    return std::nullopt;
  }
  if (auto fault = device_.exchange_blocks.transfer_fault()) {
    refuse("bootloader: final mark with " + *fault);
    return std::nullopt;
  }
  if (faults_.bootloader_final_mark_unacknowledged) {
    ++firings_.bootloader_final_mark_unacknowledged;
    return std::nullopt;
  }
  for (std::uint32_t tile = 0; tile < loaded_.size(); ++tile) {
    device_.tiles.set_context_state(tile, 0, tdi::RUNNING);
    for (std::uint32_t worker = 1; worker < tdi::CONTEXTS; ++worker) {
      device_.tiles.set_context_state(tile, worker, tdi::INACTIVE);
    }
  }
  phase_ = Phase::Inactive;
  return now + INITIAL_SYNC_TIME;
}

std::optional<std::size_t> SimBootloader::read_batch(const std::string& where,
                                                     std::span<const std::byte> transport) {
  const std::size_t table_end = transport::BATCH_SLOTS * transport::DESCRIPTOR_BYTES;
  if (!all_bytes(transport.subspan(table_end, transport::FIRST_FRAME_OFFSET - table_end),
                 std::byte{0})) {
    refuse(fmt::format("{}: bytes between the descriptor table and 0x{:x} not zero", where,
                       transport::FIRST_FRAME_OFFSET));
    return std::nullopt;
  }
  std::size_t cursor = transport::FIRST_FRAME_OFFSET;
  for (std::size_t slot = 0; slot < transport::BATCH_SLOTS; ++slot) {
    const auto next = read_slot(where, transport, slot, cursor);
    if (!next) return std::nullopt;
    cursor = *next;
  }
  if (!zero_tail(transport, cursor)) {
    refuse(fmt::format("{}: bytes after the last image at 0x{:x} not zero", where, cursor));
    return std::nullopt;
  }
  return cursor;
}

bool SimBootloader::zero_tail(std::span<const std::byte> transport, std::size_t cursor) {
  transport_writes_.watch(transport);
  const std::vector<bool> written = transport_writes_.look(cursor / PAGE_BYTES);
  const std::size_t proven_from = std::exchange(zero_from_page_, NO_PAGE);
  for (std::size_t page = cursor / PAGE_BYTES; page < written.size(); ++page) {
    if (page >= proven_from && !written[page]) continue;
    const std::size_t from = std::max(cursor, page * PAGE_BYTES);
    const std::size_t to = std::min(transport.size(), (page + 1) * PAGE_BYTES);
    if (!all_bytes(transport.subspan(from, to - from), std::byte{0})) return false;
  }
  zero_from_page_ = (cursor + PAGE_BYTES - 1) / PAGE_BYTES;
  return true;
}

void SimBootloader::forget_zero_tail() {
  transport_writes_.stop();
  zero_from_page_ = NO_PAGE;
}

std::optional<std::size_t> SimBootloader::read_slot(const std::string& where,
                                                    std::span<const std::byte> transport,
                                                    std::size_t slot, std::size_t offset) {
  const auto refuse_slot = [&](const std::string& what) {
    refuse(fmt::format("{} slot {}: {}", where, slot, what));
  };
  const std::size_t descriptor = slot * transport::DESCRIPTOR_BYTES;
  const std::size_t at = word(transport, descriptor + transport::DESCRIPTOR_OFFSET);
  const std::size_t frames = word(transport, descriptor + transport::DESCRIPTOR_FRAMES);
  if (frames < transport::MIN_TILE_FRAMES || frames > transport::MAX_TILE_FRAMES) {
    refuse_slot(fmt::format("{} frames at 0x{:x}, expected {} to {}", frames, at,
                            transport::MIN_TILE_FRAMES, transport::MAX_TILE_FRAMES));
    return std::nullopt;
  }
  if (at != offset) {
    refuse_slot(fmt::format("image at 0x{:x}, expected 0x{:x}", at, offset));
    return std::nullopt;
  }
  if (frames * transport::FRAME_BYTES > transport.size() - offset) {
    refuse_slot(fmt::format("frames 0x{:x}..0x{:x} outside the transport", offset,
                            offset + frames * transport::FRAME_BYTES));
    return std::nullopt;
  }
  const std::uint32_t tile = word(transport, offset + transport::FRAME_TILE);
  if (auto fault = tile_fault(tile)) {
    refuse_slot(fmt::format("tile {} {}", tile, *fault));
    return std::nullopt;
  }
  for (std::size_t n = 0; n < frames; ++n) {
    const auto frame =
        transport.subspan(offset + n * transport::FRAME_BYTES, transport::FRAME_BYTES);
    if (auto fault = frame_fault(frame, n, frames, tile)) {
      refuse_slot(fmt::format("tile {} frame {}: {}", tile, n, *fault));
      return std::nullopt;
    }
    device_.memory.write_bytes(
        tile,
        transport::SECONDARY_LOADER_ADDRESS +
            static_cast<std::uint32_t>(n * transport::FRAME_PAYLOAD_BYTES),
        frame.subspan(transport::FRAME_PAYLOAD, transport::FRAME_PAYLOAD_BYTES));
  }
  loaded_[tile] = true;
  return offset + frames * transport::FRAME_BYTES;
}

std::optional<std::string> SimBootloader::tile_fault(std::uint32_t tile) const {
  if (tile >= bootloader_tiles_) return std::string("runs no bootloader");
  if (loaded_[tile]) return std::string("loaded twice");
  return std::nullopt;
}

std::optional<std::string> SimBootloader::frame_fault(std::span<const std::byte> frame,
                                                      std::size_t n, std::size_t frames,
                                                      std::uint32_t tile) const {
  if (const std::uint32_t number = word(frame, transport::FRAME_NUMBER); number != n) {
    return fmt::format("frame number {}, expected {}", number, n);
  }
  if (const std::uint32_t other = word(frame, transport::FRAME_TILE); other != tile) {
    return fmt::format("tile {}, expected {}", other, tile);
  }
  const std::uint32_t expected_flags = n + 1 == frames ? transport::LAST_FRAME_FLAG : 0;
  if (const std::uint32_t flags = word(frame, transport::FRAME_FLAGS); flags != expected_flags) {
    return fmt::format("flags 0x{:x}, expected 0x{:x}", flags, expected_flags);
  }
  if (const std::uint32_t reserved = word(frame, transport::FRAME_RESERVED); reserved != 0) {
    return fmt::format("reserved word 0x{:x}, expected 0", reserved);
  }
  if (!all_bytes(frame.last(transport::FRAME_TRAILER_BYTES),
                 std::byte{transport::FRAME_TRAILER_FILL})) {
    return std::string("trailer is not 16 bytes of 0xff");
  }
  return std::nullopt;
}

void SimBootloader::refuse(std::string what) { refusals_.add(std::move(what)); }

}  // namespace zel_sim
