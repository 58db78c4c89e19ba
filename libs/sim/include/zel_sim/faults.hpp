#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zel_sim/protocol/icu.hpp"
#include "zel_sim/tile_faults.hpp"

namespace zel_sim {

// A request the simulated kernel refuses: it returns `result` with errno set to `error`.
struct IoctlFault {
  unsigned long request;
  int error;
  int result = -1;
};

// A register that does not clear: after the host writes 0 to it, it reads back `value`.
struct StuckRegister {
  std::uint32_t offset;
  std::uint32_t value;
};

// A word of a tile's memory.
struct TileWord {
  std::uint32_t tile;
  std::uint32_t address;
};

// The switches that make the simulated kernel driver and device misbehave. All off by
// default; tests and `zel run --fault` turn them on. FaultFirings counts, switch by switch,
// the times each took effect.
struct Faults {
  // The first entry naming a request decides its outcome.
  std::vector<IoctlFault> ioctl_failures;
  // The configuration mapping fails with this errno.
  std::optional<int> map_error;
  // Mapping host memory for the device (the loader's transport) fails with this errno.
  std::optional<int> host_buffer_map_error;

  // --- tile debug interface and tile contexts (sim_tiles) ---
  // One-shot: each clears itself when it strikes.
  std::optional<TdiFailure> tdi_failure;
  std::optional<TdiStuck> tdi_stuck;
  // Every TDI instruction still shows busy on this many status reads before it completes.
  std::uint32_t tdi_busy_status_reads = 0;
  // Running contexts ignore their run-break bits.
  bool contexts_never_stop = false;
  // These states are what tdi::CONTEXT_STATUS shows and what debug instructions see, whatever
  // the contexts do; the first entry naming a context decides.
  std::vector<ForcedContextState> forced_context_states;
  std::vector<CorruptedStore> corrupted_stores;

  // --- bring-up, host sync, autoloader ---
  // The ICU answers every mailbox message with this response instead of its own.
  std::optional<icu::Message> mailbox_response;
  // The kernel reports a mailbox transaction done without writing the response.
  bool mailbox_response_untouched = false;
  // The device never clears the k-th non-zero mark written to HSP_SYNC_CONTROL_0 (counting
  // from 1) nor any later one: 1 keeps every mark; 3 leaves the third loader batch unacknowledged.
  std::optional<std::uint32_t> hsp_marks_kept_from;
  // An HSP synchronization control register that does not clear when the host writes 0.
  std::optional<StuckRegister> hsp_register_not_clearing;
  // The autoloader's busy bit never clears once a command is started.
  bool autoloader_busy_forever = false;
  // Words whose value the autoloader's initialization leaves as it was.
  std::vector<TileWord> tile_words_surviving_reset;

  // --- tile bootloader (sim_bootloader) ---
  // The bootloader hangs before it takes the mark, which then stays set: the batch with this
  // number (counting from 0 since the bootloader was placed), the execute sentinel, or the
  // final mark.
  std::optional<std::uint32_t> bootloader_batch_unacknowledged;
  bool bootloader_sentinel_unacknowledged = false;
  bool bootloader_final_mark_unacknowledged = false;
};

}  // namespace zel_sim
