#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zel_sim/fault_firings.hpp"
#include "zel_sim/faults.hpp"
#include "zel_sim/refusals.hpp"
#include "zel_sim/sim_bootloader.hpp"
#include "zel_sim/tile_memory.hpp"

namespace zel_sim {

// The device's hardware autoloader behind AUTOLOADER_CONTROL, _ZONE and _DATA. Writing
// CONTROL 0 begins a sequence; DATA words are collected in order; the first command takes
// them as the prefix (its size from the ZONE write), the second initializes tiles 0 to n - 1:
// each holds the prefix at the window start and zero everywhere else. Each command keeps the
// busy bit set for its modelled time. A sequence it cannot accept is reported and leaves the
// busy bit set, so the host times out instead of believing in a load that did not happen.
class SimAutoloader {
 public:
  static constexpr std::chrono::microseconds PREFIX_LOAD_TIME{5};
  static constexpr std::chrono::microseconds TILE_RANGE_SETUP_TIME{20};
  static constexpr std::chrono::microseconds TIME_PER_TILE{1};

  SimAutoloader(const Faults& faults, FaultFirings& firings, Refusals& refusals,
                TileMemory& tile_memory, SimBootloader& bootloader)
      : faults_(faults),
        firings_(firings),
        refusals_(refusals),
        tile_memory_(tile_memory),
        bootloader_(bootloader) {}

  static bool owns(std::uint32_t offset);
  // What a read shows at `now`: CONTROL's busy bit reads 0 once the command is done.
  std::uint32_t visible(std::uint32_t offset, std::uint32_t held,
                        std::chrono::nanoseconds now) const;
  // What the register holds after the host writes `value` at `now`.
  std::uint32_t store(std::uint32_t offset, std::uint32_t value, std::chrono::nanoseconds now);

 private:
  enum class Phase { Idle, Collecting, PrefixLoaded, Refused };

  void collect(std::uint32_t word);
  void command(std::uint32_t control, std::chrono::nanoseconds now);
  void load_prefix(std::uint32_t control, std::chrono::nanoseconds now);
  void initialize_tiles(std::uint32_t control, std::chrono::nanoseconds now);
  // Tiles 0 to tiles - 1 hold the prefix and zero elsewhere (but for surviving words).
  void write_tiles(std::uint32_t tiles);
  void run_for(std::chrono::nanoseconds now, std::chrono::nanoseconds duration);
  void refuse(std::string why);
  bool done(std::chrono::nanoseconds now) const;

  const Faults& faults_;
  FaultFirings& firings_;
  Refusals& refusals_;
  TileMemory& tile_memory_;
  // Told of every initialization: the prefix may be a program the tiles then run.
  SimBootloader& bootloader_;

  Phase phase_ = Phase::Idle;
  std::vector<std::uint32_t> words_;
  std::uint32_t zone_ = 0;
  std::vector<std::byte> prefix_;
  // When the running command is done; none: it never is.
  std::optional<std::chrono::nanoseconds> done_at_;
};

}  // namespace zel_sim
