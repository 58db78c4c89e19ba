#pragma once

#include <cstdint>

// The shapes of the tile debug faults (the switches themselves are in Faults).
namespace zel_sim {

// Picks the TDI instruction started after `skip` more have started (0: the next one) and
// makes it complete with the whole tdi::DEBUG_STATUS value `status`, without effect.
struct TdiFailure {
  std::uint32_t skip = 0;
  std::uint32_t status = 0;
};

// Picks the TDI instruction started after `skip` more have started; it stays busy for ever
// and has no effect. The next instruction written replaces it.
struct TdiStuck {
  std::uint32_t skip = 0;
};

// The state tdi::CONTEXT_STATUS reports for one context of one tile.
struct ForcedContextState {
  std::uint32_t tile;
  std::uint32_t context;
  std::uint32_t state;
};

// A TDI store word to `address` of `tile` writes the value XOR `mask`.
struct CorruptedStore {
  std::uint32_t tile;
  std::uint32_t address;
  std::uint32_t mask;
};

}  // namespace zel_sim
