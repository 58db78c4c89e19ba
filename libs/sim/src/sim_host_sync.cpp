#include "zel_sim/sim_host_sync.hpp"

#include <fmt/format.h>

#include "zel_sim/protocol/host_timeouts.hpp"
#include "zel_sim/protocol/registers.hpp"

namespace zel_sim {

static_assert(SimHostSync::ACKNOWLEDGE_DELAY < host_timeouts::MARK);

bool SimHostSync::owns(std::uint32_t offset) {
  return offset == reg::HSP_SYNC_CONTROL_0 || offset == reg::HSP_SYNC_CONTROL_1;
}

std::uint32_t SimHostSync::visible(std::uint32_t offset, std::uint32_t held,
                                   std::chrono::nanoseconds now) const {
  if (offset == reg::HSP_SYNC_CONTROL_0 && cleared_at_ && now >= *cleared_at_) return 0;
  return held;
}

std::uint32_t SimHostSync::store(std::uint32_t offset, std::uint32_t value,
                                 std::chrono::nanoseconds now) {
  if ((value & ~reg::HSP_MARK_MASK) != 0) {
    refusals_.add(
        fmt::format("HSP register 0x{:x} written 0x{:x}: a mark has 16 bits", offset, value));
  }
  if (offset == reg::HSP_SYNC_CONTROL_0) {
    cleared_at_.reset();  // a new value replaces the mark the device was about to clear
    if (const std::uint32_t mark = value & reg::HSP_MARK_MASK; mark != 0) take_mark(mark, now);
  }
  const auto& stuck = faults_.hsp_register_not_clearing;
  if (value == 0 && stuck && stuck->offset == offset) {
    ++firings_.hsp_register_not_clearing;
    return stuck->value;
  }
  return value;
}

void SimHostSync::take_mark(std::uint32_t mark, std::chrono::nanoseconds now) {
  ++marks_written_;
  const auto& kept_from = faults_.hsp_marks_kept_from;
  if (kept_from && marks_written_ >= *kept_from) {
    ++firings_.hsp_marks_kept_from;
    return;
  }
  cleared_at_ =
      bootloader_.takes_marks() ? bootloader_.take_mark(mark, now) : now + ACKNOWLEDGE_DELAY;
}

}  // namespace zel_sim
