#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "zel_sim/fault_firings.hpp"
#include "zel_sim/faults.hpp"
#include "zel_sim/protocol/tile_debug.hpp"
#include "zel_sim/refusals.hpp"
#include "zel_sim/tile_memory.hpp"

namespace zel_sim {

// Failure codes the simulated tiles leave in bits 2..0 of tdi::DEBUG_STATUS (0: success).
// The instruction word is none of put/get debug data, load word or store word:
inline constexpr std::uint32_t TDI_FAILURE_UNKNOWN_INSTRUCTION = 1;
// The context number is above 6, or the context is running:
inline constexpr std::uint32_t TDI_FAILURE_CONTEXT_UNAVAILABLE = 2;
// tdi::DEBUG_CONTROL was not written 6 since the previous instruction:
inline constexpr std::uint32_t TDI_FAILURE_NOT_ARMED = 3;
// A load or store address is misaligned or outside the tile-memory window:
inline constexpr std::uint32_t TDI_FAILURE_MEMORY = 4;

// A running context whose run-break bit is set is seen stopped by this many reads of
// tdi::CONTEXT_STATUS (the earlier ones still show it running).
inline constexpr std::uint32_t CONTEXT_STOP_STATUS_READS = 2;

// The debug windows of the simulated tiles (16 registers at 0x30000 + 64 x tile): seven
// contexts with their run state and M registers, run-break and resume, and TDI execution
// against the tile memory. The window's registers live in the configuration space shared
// with SimDevice, so peek and poke see them; this model reacts to the host's accesses.
//
// tdi::DEBUG_STATUS: writing tdi::INSTRUCTION sets the busy bit (0x8) over what the
// previous instruction left; the instruction executes, and the status becomes its failure
// code, on the first status read that finds it done.
//
// Refused: any access to one of the eight registers of the window the device does not use, a
// write to tdi::CONTEXT_STATUS or tdi::DEBUG_STATUS (ignored), tdi::DEBUG_CONTROL written
// anything but 6, and an instruction that fails: not armed, in a context that does not exist
// or is running, a word the tile does not know, an address outside the tile memory or not a word's.
class SimTiles {
 public:
  // `faults` is not const: the one-shot switches clear themselves when they strike.
  SimTiles(std::span<std::uint32_t> registers, TileMemory& memory, Faults& faults,
           FaultFirings& firings, Refusals& refusals);

  // Whether `offset` lies in the debug window of one of the tiles; the windows of tiles
  // beyond the tile count are plain registers.
  bool owns(std::uint32_t offset) const;
  std::uint32_t load(std::uint32_t offset);
  void store(std::uint32_t offset, std::uint32_t value);

  // A context's run state as the tile holds it (forced states aside). Contexts start
  // inactive; a loaded program makes one running.
  std::uint32_t context_state(std::uint32_t tile, std::uint32_t context) const;
  void set_context_state(std::uint32_t tile, std::uint32_t context, std::uint32_t state);
  // The state a context reaches when its run-break bit stops it: 2 unless set to 3, the
  // device's other stopped state.
  void stop_contexts_in_state(std::uint32_t state) { stopped_state_ = state; }
  std::uint32_t m_register(std::uint32_t tile, std::uint32_t context, std::uint32_t reg) const;
  void set_m_register(std::uint32_t tile, std::uint32_t context, std::uint32_t reg,
                      std::uint32_t value);

 private:
  // An instruction started and not yet seen done.
  struct Instruction {
    std::uint32_t word;
    std::uint32_t context;
    bool armed;
    std::uint32_t busy_reads;                    // status reads still showing busy
    bool stuck;                                  // never completes
    std::optional<std::uint32_t> forced_status;  // completes with this, without effect
  };
  struct Tile {
    std::array<std::array<std::uint32_t, tdi::M_REGISTERS>, tdi::CONTEXTS> m{};
    std::array<std::uint32_t, tdi::CONTEXTS> stop_reads{};  // status reads since asked to stop
    bool armed = false;
    std::optional<Instruction> in_flight;
  };

  std::uint32_t& reg(std::uint32_t tile, std::uint32_t index);
  std::uint32_t reg(std::uint32_t tile, std::uint32_t index) const;
  Tile& tile_state(std::uint32_t tile);
  // Whether `index` is a register of the window the device uses; refuses it otherwise.
  bool used(std::uint32_t tile, std::uint32_t index, const char* access);
  // Whether the device has `tile`; refuses the access otherwise.
  bool present(std::uint32_t tile, const char* access);

  std::uint32_t read_context_status(std::uint32_t tile);
  std::optional<std::uint32_t> forced_state(std::uint32_t tile, std::uint32_t context) const;
  std::uint32_t effective_state(std::uint32_t tile, std::uint32_t context) const;
  void resume(std::uint32_t tile, std::uint32_t mask);

  void start_instruction(std::uint32_t tile, std::uint32_t word);
  std::uint32_t read_debug_status(std::uint32_t tile);
  std::uint32_t execute(std::uint32_t tile, const Instruction& instruction);
  std::uint32_t move_or_access(std::uint32_t tile, std::uint32_t context, std::uint32_t word);
  std::uint32_t access_memory(std::uint32_t tile, std::uint32_t context, bool store);
  std::uint32_t failed(std::uint32_t tile, std::uint32_t code, const std::string& why);

  std::span<std::uint32_t> registers_;
  TileMemory& memory_;
  Faults& faults_;
  FaultFirings& firings_;
  Refusals& refusals_;
  // Only the tiles the host has touched; a 1472-tile device mostly stays idle.
  std::unordered_map<std::uint32_t, Tile> tiles_;
  std::uint32_t stopped_state_ = tdi::STOPPED;
};

}  // namespace zel_sim
