#pragma once

#include <cstdint>

namespace zel_sim {

// How many times each switch of Faults took effect, counted where it strikes: an open of an
// absent node, a request
// failed, a mapping refused, an instruction failed, stuck or shown busy once more, a context
// that did not stop when asked (per status read), a forced state shown, a store corrupted, a
// mailbox answer replaced or left unwritten, a mark kept, a register that did not clear, an
// autoloader command that never ends, a word that survived, a mark the bootloader left set.
// The names are those of the switches.
struct FaultFirings {
  std::uint64_t node_absent = 0;  // an open of the node the device does not have
  std::uint64_t ioctl_failures = 0;
  std::uint64_t map_error = 0;
  std::uint64_t host_buffer_map_error = 0;
  std::uint64_t tdi_failure = 0;
  std::uint64_t tdi_stuck = 0;
  std::uint64_t tdi_busy_status_reads = 0;
  std::uint64_t contexts_never_stop = 0;
  std::uint64_t forced_context_states = 0;
  std::uint64_t corrupted_stores = 0;
  std::uint64_t mailbox_response = 0;
  std::uint64_t mailbox_response_untouched = 0;
  std::uint64_t hsp_marks_kept_from = 0;
  std::uint64_t hsp_register_not_clearing = 0;
  std::uint64_t autoloader_busy_forever = 0;
  std::uint64_t tile_words_surviving_reset = 0;
  std::uint64_t bootloader_batch_unacknowledged = 0;
  std::uint64_t bootloader_sentinel_unacknowledged = 0;
  std::uint64_t bootloader_final_mark_unacknowledged = 0;

  bool operator==(const FaultFirings&) const = default;
};

}  // namespace zel_sim
