#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "zel_sim/fault_firings.hpp"
#include "zel_sim/faults.hpp"
#include "zel_sim/refusals.hpp"
#include "zel_sim/sim_bootloader.hpp"

namespace zel_sim {

// The device side of the two HSP synchronization control registers. A non-zero mark the host
// writes to HSP_SYNC_CONTROL_0 is taken by the device and cleared once its acknowledgement is
// due, a modelled delay later; the clearing is lazy: a read after that moment sees 0. While
// the tiles run the bootloader, it answers the marks instead. A mark is 16 bits: a write with
// any of bits 31..16 set is refused (and stored as written).
class SimHostSync {
 public:
  // How long the device takes to acknowledge a mark.
  static constexpr std::chrono::microseconds ACKNOWLEDGE_DELAY{20};

  SimHostSync(const Faults& faults, FaultFirings& firings, Refusals& refusals,
              SimBootloader& bootloader)
      : faults_(faults), firings_(firings), refusals_(refusals), bootloader_(bootloader) {}

  static bool owns(std::uint32_t offset);
  // What a read of the register shows at `now`, given what the register holds.
  std::uint32_t visible(std::uint32_t offset, std::uint32_t held,
                        std::chrono::nanoseconds now) const;
  // What the register holds after the host writes `value` at `now`.
  std::uint32_t store(std::uint32_t offset, std::uint32_t value, std::chrono::nanoseconds now);

 private:
  // Where the device takes a mark. Acknowledging it here is the default; the bootloader on
  // the tiles answers marks in its own time instead.
  void take_mark(std::uint32_t mark, std::chrono::nanoseconds now);

  const Faults& faults_;
  FaultFirings& firings_;
  Refusals& refusals_;
  SimBootloader& bootloader_;
  // Non-zero marks written to HSP_SYNC_CONTROL_0 so far.
  std::uint32_t marks_written_ = 0;
  // When the mark now in HSP_SYNC_CONTROL_0 reads as cleared; none: it stays.
  std::optional<std::chrono::nanoseconds> cleared_at_;
};

}  // namespace zel_sim
