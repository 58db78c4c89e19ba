#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zel_sim/fault_firings.hpp"
#include "zel_sim/faults.hpp"
#include "zel_sim/refusals.hpp"
#include "zel_sim/sim_buffers.hpp"
#include "zel_sim/sim_exchange_blocks.hpp"
#include "zel_sim/sim_tiles.hpp"
#include "zel_sim/tile_memory.hpp"
#include "zel_sim/written_pages.hpp"

namespace zel_sim {

// What the bootloader needs of the rest of the device.
struct BootloaderSurroundings {
  const SimBuffers& buffers;
  SimExchangeBlocks& exchange_blocks;
  // The configuration space, for LOADER_SETUP.
  std::span<const std::uint32_t> registers;
  TileMemory& memory;
  SimTiles& tiles;
};

// The tile bootloader: what tiles 0 to n - 1 run once the autoloader has put a (non-zero)
// prefix on them, and what answers the marks on HSP_SYNC_CONTROL_0 from then on.
//
// - Mark 1 with a transport that is not the sentinel: a batch. The bootloader reads the
//   transport attached under index 0 as a device does, by DMA: the descriptor table, then
//   each slot's frames, checking every frame, and writes each payload to its tile's memory at
//   0x4c010 + 992 x frame number. The mark clears after a transfer time proportional to the
//   bytes read.
// - Mark 1 with the whole transport 0xFF: the execute sentinel; the tiles start.
// - The next mark: the application's initial synchronization. Context 0 of every tile that
//   received an image runs, its workers are inactive, and the bootloader's part is over:
//   later marks get the default answer.
//
// It takes a batch only as the loader lays it out: the transport of its full size under
// index 0, LOADER_SETUP set up, the exchange blocks held for the transfer (SimExchangeBlocks),
// all 64 slots filled with images of 17 to 643 frames back to back from 0x1000 in slot order,
// zeros between the table and the first frame and after the last, each tile running the
// bootloader and loaded once. The sentinel comes once every such tile is loaded; the final
// mark is the one the application waits for, with the blocks still held. Anything else is
// refused and leaves the mark set, so the host times out rather than believe in a load that
// did not happen. An initialization with a zero prefix (a memory reset) leaves the tiles
// without any program.
class SimBootloader {
 public:
  // A batch costs a fixed set-up plus its transfer at about 8 GB/s.
  static constexpr std::chrono::microseconds BATCH_SETUP_TIME{10};
  static constexpr std::chrono::nanoseconds TRANSFER_TIME_PER_KIB{128};
  static constexpr std::chrono::microseconds START_TIME{20};
  static constexpr std::chrono::microseconds INITIAL_SYNC_TIME{50};

  // `initial_sync_mark`: the mark the loaded application waits for; none takes any.
  SimBootloader(const Faults& faults, FaultFirings& firings, Refusals& refusals,
                BootloaderSurroundings surroundings, std::optional<std::uint32_t> initial_sync_mark)
      : faults_(faults),
        firings_(firings),
        refusals_(refusals),
        device_(surroundings),
        initial_sync_mark_(initial_sync_mark) {}

  // The autoloader has just initialized tiles 0 to `tiles` - 1 with `prefix`.
  void tiles_initialized(std::uint32_t tiles, std::span<const std::byte> prefix);

  // The kernel has just made host memory, all zero: should it become the transport, its pages
  // are known zero from now on until written.
  void host_memory_made(std::span<const std::byte> memory);

  // Whether the marks are the bootloader's to answer.
  bool takes_marks() const { return phase_ != Phase::Inactive; }
  // The host issued the barrier that orders its writes to the transport before what follows.
  void host_writes_ordered() { ordered_since_mark_ = true; }
  // Answers the non-zero `mark` the host wrote at `now`: when it reads cleared; none: never.
  std::optional<std::chrono::nanoseconds> take_mark(std::uint32_t mark,
                                                    std::chrono::nanoseconds now);

 private:
  enum class Phase { Inactive, Batches, Started };

  std::optional<std::span<const std::byte>> transport();
  std::optional<std::chrono::nanoseconds> take_batch(std::span<const std::byte> transport,
                                                     std::chrono::nanoseconds now);
  std::optional<std::chrono::nanoseconds> start_tiles(std::chrono::nanoseconds now);
  std::optional<std::chrono::nanoseconds> reach_initial_sync(std::uint32_t mark,
                                                             std::chrono::nanoseconds now);

  // Every slot read and written to tile memory: the bytes read, or none after refusing.
  std::optional<std::size_t> read_batch(const std::string& where,
                                        std::span<const std::byte> transport);
  // Slot `slot`'s image, expected at `offset`: where the next one begins, or none. `where`
  // names the batch; the slot is added to it only in a refusal's text.
  std::optional<std::size_t> read_slot(const std::string& where,
                                       std::span<const std::byte> transport, std::size_t slot,
                                       std::size_t offset);
  // What is wrong with frame `n` of a slot of `frames` frames for `tile`, if anything.
  std::optional<std::string> frame_fault(std::span<const std::byte> frame, std::size_t n,
                                         std::size_t frames, std::uint32_t tile) const;
  std::optional<std::string> tile_fault(std::uint32_t tile) const;
  // Whether every transport byte from `cursor` on is zero. A page found zero at the previous
  // batch and not written since is zero still: only the others are read, so a batch costs
  // what the host wrote rather than the whole transport.
  bool zero_tail(std::span<const std::byte> transport, std::size_t cursor);
  // Nothing is known of the transport any longer.
  void forget_zero_tail();
  void refuse(std::string what);

  const Faults& faults_;
  FaultFirings& firings_;
  Refusals& refusals_;
  BootloaderSurroundings device_;
  std::optional<std::uint32_t> initial_sync_mark_;

  Phase phase_ = Phase::Inactive;
  bool ordered_since_mark_ = false;  // a barrier came since the last mark
  // Tiles 0 to this - 1 run the bootloader.
  std::uint32_t bootloader_tiles_ = 0;
  // Batch marks taken since the bootloader was placed.
  std::uint32_t batches_ = 0;
  // By tile: whether its image has arrived.
  std::vector<bool> loaded_;
  // What the host wrote to the transport since the previous batch, and the first of the pages
  // that were all zero then.
  static constexpr std::size_t NO_PAGE = SIZE_MAX;
  WrittenPages transport_writes_;
  std::size_t zero_from_page_ = NO_PAGE;
};

}  // namespace zel_sim
