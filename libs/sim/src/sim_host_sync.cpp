#include "zel_sim/sim_host_sync.hpp"

#include "zel_driver/host_sync.hpp"
#include "zel_driver/registers.hpp"

namespace zel_sim {

using zel_driver::HSP_MARK_MASK;
using zel_driver::HSP_SYNC_CONTROL_0;

bool SimHostSync::owns(std::uint32_t offset) { return zel_driver::is_hsp_sync_register(offset); }

std::uint32_t SimHostSync::visible(std::uint32_t offset, std::uint32_t held,
                                   std::chrono::nanoseconds now) const {
  if (offset == HSP_SYNC_CONTROL_0 && cleared_at_ && now >= *cleared_at_) return 0;
  return held;
}

std::uint32_t SimHostSync::store(std::uint32_t offset, std::uint32_t value,
                                 std::chrono::nanoseconds now) {
  if (offset == HSP_SYNC_CONTROL_0) {
    cleared_at_.reset();  // a new value replaces the mark the device was about to clear
    if (const std::uint32_t mark = value & HSP_MARK_MASK; mark != 0) take_mark(mark, now);
  }
  const auto& stuck = faults_.hsp_register_not_clearing;
  if (value == 0 && stuck && stuck->offset == offset) return stuck->value;
  return value;
}

void SimHostSync::take_mark(std::uint32_t mark, std::chrono::nanoseconds now) {
  ++marks_written_;
  const auto& kept_from = faults_.hsp_marks_kept_from;
  if (kept_from && marks_written_ >= *kept_from) return;
  cleared_at_ =
      bootloader_.takes_marks() ? bootloader_.take_mark(mark, now) : now + ACKNOWLEDGE_DELAY;
}

}  // namespace zel_sim
