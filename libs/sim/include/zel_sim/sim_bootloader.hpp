#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zel_sim/faults.hpp"
#include "zel_sim/sim_buffers.hpp"
#include "zel_sim/sim_tiles.hpp"
#include "zel_sim/tile_memory.hpp"

namespace zel_sim {

// The tile bootloader: what tiles 0 to n - 1 run once the autoloader has put a (non-zero)
// prefix on them, and what answers the marks on HSP_SYNC_CONTROL_0 from then on.
//
// - Mark 1 with a transport that is not the sentinel: a batch. The bootloader reads the
//   transport attached under index 0 as a device does, by DMA: the descriptor table, then
//   each described slot's frames, checking every frame, and writes each payload to its
//   tile's memory at 0x4c010 + 992 x frame number. The mark clears after a transfer time
//   proportional to the bytes read.
// - Mark 1 with the whole transport 0xFF: the execute sentinel; the tiles start.
// - The next non-zero mark, whatever its value: the application reaches its initial
//   synchronization. Context 0 of every tile that received an image runs, its workers are
//   inactive, and the bootloader's part is over: later marks get the default answer.
//
// Anything it cannot accept (a malformed descriptor or frame, no transport, a mark it does
// not expect) is reported and leaves the mark set, so the host times out rather than
// believe in a load that did not happen. An initialization with a zero prefix (a memory
// reset) leaves the tiles without any program.
class SimBootloader {
 public:
  // A batch costs a fixed set-up plus its transfer at about 8 GB/s.
  static constexpr std::chrono::microseconds BATCH_SETUP_TIME{10};
  static constexpr std::chrono::nanoseconds TRANSFER_TIME_PER_KIB{128};
  static constexpr std::chrono::microseconds START_TIME{20};
  static constexpr std::chrono::microseconds INITIAL_SYNC_TIME{50};

  SimBootloader(const Faults& faults, const SimBuffers& buffers, TileMemory& memory,
                SimTiles& tiles, std::vector<std::string>& refusals)
      : faults_(faults), buffers_(buffers), memory_(memory), tiles_(tiles), refusals_(refusals) {}

  // The autoloader has just initialized tiles 0 to `tiles` - 1 with `prefix`.
  void tiles_initialized(std::uint32_t tiles, std::span<const std::byte> prefix);

  // Whether the marks are the bootloader's to answer.
  bool takes_marks() const { return phase_ != Phase::Inactive; }
  // Answers the non-zero `mark` the host wrote at `now`: when it reads cleared; none: never.
  std::optional<std::chrono::nanoseconds> take_mark(std::uint32_t mark,
                                                    std::chrono::nanoseconds now);

 private:
  enum class Phase { Inactive, Batches, Started };
  struct Descriptor {
    std::size_t offset;
    std::size_t frames;
  };

  std::optional<std::chrono::nanoseconds> take_batch(std::span<const std::byte> transport,
                                                     std::chrono::nanoseconds now);
  std::optional<std::chrono::nanoseconds> start_tiles(std::chrono::nanoseconds now);
  std::optional<std::chrono::nanoseconds> reach_initial_sync(std::chrono::nanoseconds now);

  // Every described slot read and written to tile memory: the bytes read, or none after
  // reporting the first fault.
  std::optional<std::size_t> read_batch(std::uint32_t batch, std::span<const std::byte> transport);
  bool read_slot(const std::string& where, std::span<const std::byte> transport,
                 const Descriptor& descriptor);
  // What is wrong with frame `n` of a slot of `frames` frames for `tile`, if anything.
  std::optional<std::string> frame_fault(std::span<const std::byte> frame, std::size_t n,
                                         std::size_t frames, std::uint32_t tile) const;
  void refuse(std::string what);

  const Faults& faults_;
  const SimBuffers& buffers_;
  TileMemory& memory_;
  SimTiles& tiles_;
  std::vector<std::string>& refusals_;

  Phase phase_ = Phase::Inactive;
  // Tiles 0 to this - 1 run the bootloader.
  std::uint32_t bootloader_tiles_ = 0;
  // Batch marks taken since the bootloader was placed.
  std::uint32_t batches_ = 0;
  // By tile: whether its last frame has arrived.
  std::vector<bool> loaded_;
};

}  // namespace zel_sim
