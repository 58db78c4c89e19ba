#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zel_sim/tile_faults.hpp"

namespace zel_sim {

// A request the simulated kernel refuses: it returns `result` with errno set to `error`.
struct IoctlFault {
  unsigned long request;
  int error;
  int result = -1;
};

// The switches that make the simulated kernel driver and device misbehave. All off by
// default; tests and `zelsim run --fault` turn them on.
struct Faults {
  // The first entry naming a request decides its outcome.
  std::vector<IoctlFault> ioctl_failures;
  // The configuration mapping fails with this errno.
  std::optional<int> map_error;

  // --- tile debug interface and tile contexts (sim_tiles) ---
  // One-shot: each clears itself when it strikes.
  std::optional<TdiFailure> tdi_failure;
  std::optional<TdiStuck> tdi_stuck;
  // Every TDI instruction still shows busy on this many status reads before it completes.
  std::uint32_t tdi_busy_status_reads = 0;
  // Running contexts ignore their run-break bits.
  bool contexts_never_stop = false;
  // These states are what TILE_CONTEXT_STATUS shows and what debug instructions see, whatever
  // the contexts do; the first entry naming a context decides.
  std::vector<ForcedContextState> forced_context_states;
  std::vector<CorruptedStore> corrupted_stores;
};

}  // namespace zel_sim
