#include "zel_sim/sim_tiles.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "zel_sim/protocol/registers.hpp"

namespace zel_sim {

namespace {

using reg::TILE_DEBUG_BASE;
using reg::TILE_DEBUG_STRIDE;

// Takes a one-shot fault when it is aimed at the instruction now starting; counts it down
// otherwise.
template <class Fault>
std::optional<Fault> take_if_due(std::optional<Fault>& fault) {
  if (!fault) return std::nullopt;
  if (fault->skip > 0) {
    --fault->skip;
    return std::nullopt;
  }
  return std::exchange(fault, std::nullopt);
}

bool is_used(std::uint32_t index) {
  switch (index) {
    case tdi::CONTEXT_STATUS:
    case tdi::RUN_BREAK:
    case tdi::INSTRUCTION:
    case tdi::CONTEXT:
    case tdi::CONTEXT_RESUME:
    case tdi::DEBUG_DATA:
    case tdi::DEBUG_STATUS:
    case tdi::DEBUG_CONTROL:
      return true;
    default:
      return false;
  }
}

std::uint32_t with_state(std::uint32_t status, std::uint32_t context, std::uint32_t state) {
  const std::uint32_t shift = tdi::STATE_BITS * context;
  return (status & ~(tdi::STATE_MASK << shift)) | (state & tdi::STATE_MASK) << shift;
}

}  // namespace

SimTiles::SimTiles(std::span<std::uint32_t> registers, TileMemory& memory, Faults& faults,
                   FaultFirings& firings, Refusals& refusals)
    : registers_(registers),
      memory_(memory),
      faults_(faults),
      firings_(firings),
      refusals_(refusals) {}

// Every tile window of the register map, those of tiles the device does not have too: an
// access to one of those is a host addressing a tile that is not there.
bool SimTiles::owns(std::uint32_t offset) const {
  return offset >= TILE_DEBUG_BASE &&
         (offset - TILE_DEBUG_BASE) / TILE_DEBUG_STRIDE < reg::TILE_DEBUG_WINDOWS;
}

bool SimTiles::present(std::uint32_t tile, const char* access) {
  if (tile < memory_.tile_count()) return true;
  refusals_.add(fmt::format("tile {}: {} of its debug window, but the device has tiles 0 to {}",
                            tile, access, memory_.tile_count() - 1));
  return false;
}

std::uint32_t& SimTiles::reg(std::uint32_t tile, std::uint32_t index) {
  return registers_[(TILE_DEBUG_BASE + tile * TILE_DEBUG_STRIDE) / 4 + index];
}

std::uint32_t SimTiles::reg(std::uint32_t tile, std::uint32_t index) const {
  return registers_[(TILE_DEBUG_BASE + tile * TILE_DEBUG_STRIDE) / 4 + index];
}

SimTiles::Tile& SimTiles::tile_state(std::uint32_t tile) { return tiles_[tile]; }

bool SimTiles::used(std::uint32_t tile, std::uint32_t index, const char* access) {
  if (is_used(index)) return true;
  refusals_.add(fmt::format("tile {}: {} of debug register {}, which the tile does not use", tile,
                            access, index));
  return false;
}

std::uint32_t SimTiles::load(std::uint32_t offset) {
  const std::uint32_t tile = (offset - TILE_DEBUG_BASE) / TILE_DEBUG_STRIDE;
  const std::uint32_t index = (offset - TILE_DEBUG_BASE) % TILE_DEBUG_STRIDE / 4;
  if (!present(tile, "read")) return 0;
  if (!used(tile, index, "read")) return reg(tile, index);
  switch (index) {
    case tdi::CONTEXT_STATUS:
      return read_context_status(tile);
    case tdi::DEBUG_STATUS:
      return read_debug_status(tile);
    default:
      return reg(tile, index);
  }
}

void SimTiles::store(std::uint32_t offset, std::uint32_t value) {
  const std::uint32_t tile = (offset - TILE_DEBUG_BASE) / TILE_DEBUG_STRIDE;
  const std::uint32_t index = (offset - TILE_DEBUG_BASE) % TILE_DEBUG_STRIDE / 4;
  if (!present(tile, "write")) return;
  if (!used(tile, index, "write")) {
    reg(tile, index) = value;
    return;
  }
  switch (index) {
    case tdi::CONTEXT_STATUS:
    case tdi::DEBUG_STATUS:
      refusals_.add(fmt::format("tile {}: write of read-only debug register {}", tile, index));
      return;
    case tdi::DEBUG_CONTROL:
      if (value != tdi::EXECUTE) {
        refusals_.add(
            fmt::format("tile {}: debug control 0x{:x}, expected {}", tile, value, tdi::EXECUTE));
      }
      reg(tile, index) = value;
      tile_state(tile).armed = value == tdi::EXECUTE;
      return;
    case tdi::INSTRUCTION:
      reg(tile, index) = value;
      start_instruction(tile, value);
      return;
    case tdi::CONTEXT_RESUME:
      reg(tile, index) = value;
      resume(tile, value);
      return;
    default:
      // RUN_BREAK keeps every bit; stopping happens as the host watches the state.
      reg(tile, index) = value;
      return;
  }
}

std::uint32_t SimTiles::context_state(std::uint32_t tile, std::uint32_t context) const {
  return reg(tile, tdi::CONTEXT_STATUS) >> (tdi::STATE_BITS * context) & tdi::STATE_MASK;
}

void SimTiles::set_context_state(std::uint32_t tile, std::uint32_t context, std::uint32_t state) {
  std::uint32_t& status = reg(tile, tdi::CONTEXT_STATUS);
  status = with_state(status, context, state);
  // A tile without state has counted no status reads: starting every tile's program need not
  // make state for each.
  if (const auto found = tiles_.find(tile); found != tiles_.end()) {
    found->second.stop_reads[context] = 0;
  }
}

std::uint32_t SimTiles::m_register(std::uint32_t tile, std::uint32_t context,
                                   std::uint32_t reg) const {
  auto found = tiles_.find(tile);
  return found == tiles_.end() ? 0 : found->second.m.at(context).at(reg);
}

void SimTiles::set_m_register(std::uint32_t tile, std::uint32_t context, std::uint32_t reg,
                              std::uint32_t value) {
  tile_state(tile).m.at(context).at(reg) = value;
}

// A context asked to stop gets there while the host watches its state.
std::uint32_t SimTiles::read_context_status(std::uint32_t tile) {
  const std::uint32_t run_break = reg(tile, tdi::RUN_BREAK);
  Tile& state = tile_state(tile);
  for (std::uint32_t context = 0; context < tdi::CONTEXTS; ++context) {
    const bool asked =
        context_state(tile, context) == tdi::RUNNING && (run_break >> context & 1) != 0;
    if (asked && faults_.contexts_never_stop) ++firings_.contexts_never_stop;
    if (!asked || faults_.contexts_never_stop) {
      state.stop_reads[context] = 0;
    } else if (++state.stop_reads[context] >= CONTEXT_STOP_STATUS_READS) {
      set_context_state(tile, context, stopped_state_);
    }
  }
  std::uint32_t status = reg(tile, tdi::CONTEXT_STATUS);
  for (std::uint32_t context = 0; context < tdi::CONTEXTS; ++context) {
    if (auto forced = forced_state(tile, context)) {
      status = with_state(status, context, *forced);
      ++firings_.forced_context_states;
    }
  }
  return status;
}

std::optional<std::uint32_t> SimTiles::forced_state(std::uint32_t tile,
                                                    std::uint32_t context) const {
  auto forced = std::ranges::find_if(faults_.forced_context_states, [&](const auto& entry) {
    return entry.tile == tile && entry.context == context;
  });
  if (forced == faults_.forced_context_states.end()) return std::nullopt;
  return forced->state;
}

std::uint32_t SimTiles::effective_state(std::uint32_t tile, std::uint32_t context) const {
  return forced_state(tile, context).value_or(context_state(tile, context));
}

// A stopped context runs again unless it is still asked to stop; inactive ones stay so.
void SimTiles::resume(std::uint32_t tile, std::uint32_t mask) {
  const std::uint32_t run_break = reg(tile, tdi::RUN_BREAK);
  for (std::uint32_t context = 0; context < tdi::CONTEXTS; ++context) {
    const std::uint32_t bit = 1u << context;
    if ((mask & bit) != 0 && (run_break & bit) == 0 &&
        context_state(tile, context) >= tdi::STOPPED) {
      set_context_state(tile, context, tdi::RUNNING);
    }
  }
}

// A new instruction replaces one still in flight, which then never takes effect.
void SimTiles::start_instruction(std::uint32_t tile, std::uint32_t word) {
  Tile& state = tile_state(tile);
  Instruction instruction{.word = word,
                          .context = reg(tile, tdi::CONTEXT),
                          .armed = std::exchange(state.armed, false),
                          .busy_reads = faults_.tdi_busy_status_reads,
                          .stuck = take_if_due(faults_.tdi_stuck).has_value(),
                          .forced_status = std::nullopt};
  if (instruction.stuck) ++firings_.tdi_stuck;
  if (auto failure = take_if_due(faults_.tdi_failure)) {
    instruction.forced_status = failure->status;
    ++firings_.tdi_failure;
  }
  state.in_flight = instruction;
  reg(tile, tdi::DEBUG_STATUS) |= tdi::STATUS_BUSY;
}

std::uint32_t SimTiles::read_debug_status(std::uint32_t tile) {
  std::uint32_t& status = reg(tile, tdi::DEBUG_STATUS);
  Tile& state = tile_state(tile);
  if (!state.in_flight || state.in_flight->stuck) return status;
  if (state.in_flight->busy_reads > 0) {
    --state.in_flight->busy_reads;
    ++firings_.tdi_busy_status_reads;
    return status;
  }
  const Instruction done = *std::exchange(state.in_flight, std::nullopt);
  status = done.forced_status ? *done.forced_status : execute(tile, done);
  return status;
}

std::uint32_t SimTiles::failed(std::uint32_t tile, std::uint32_t code, const std::string& why) {
  refusals_.add(fmt::format("tile {}: {}", tile, why));
  return code;
}

std::uint32_t SimTiles::execute(std::uint32_t tile, const Instruction& instruction) {
  if (!instruction.armed) {
    return failed(tile, TDI_FAILURE_NOT_ARMED,
                  fmt::format("instruction 0x{:x} without debug control {} first", instruction.word,
                              tdi::EXECUTE));
  }
  const std::uint32_t context = instruction.context;
  if (context >= tdi::CONTEXTS) {
    return failed(tile, TDI_FAILURE_CONTEXT_UNAVAILABLE,
                  fmt::format("instruction in context {}, which does not exist", context));
  }
  // Debug instructions need a context that is not running.
  if (effective_state(tile, context) == tdi::RUNNING) {
    return failed(tile, TDI_FAILURE_CONTEXT_UNAVAILABLE,
                  fmt::format("instruction in context {}, which is running", context));
  }
  return move_or_access(tile, context, instruction.word);
}

std::uint32_t SimTiles::move_or_access(std::uint32_t tile, std::uint32_t context,
                                       std::uint32_t word) {
  auto& m = tile_state(tile).m[context];
  const std::uint32_t put_field = tdi::REGISTER_FIELD << tdi::PUT_REGISTER_SHIFT;
  const std::uint32_t get_field = tdi::REGISTER_FIELD << tdi::GET_REGISTER_SHIFT;
  if ((word & ~put_field) == tdi::PUT_DEBUG_DATA) {
    reg(tile, tdi::DEBUG_DATA) = m[(word & put_field) >> tdi::PUT_REGISTER_SHIFT];
    return 0;
  }
  if ((word & ~get_field) == tdi::GET_DEBUG_DATA) {
    m[(word & get_field) >> tdi::GET_REGISTER_SHIFT] = reg(tile, tdi::DEBUG_DATA);
    return 0;
  }
  if (word == tdi::LOAD_WORD) return access_memory(tile, context, false);
  if (word == tdi::STORE_WORD) return access_memory(tile, context, true);
  return failed(tile, TDI_FAILURE_UNKNOWN_INSTRUCTION,
                fmt::format("unknown instruction 0x{:x}", word));
}

// Load: M0 = memory[M1]; store: memory[M1] = M0.
std::uint32_t SimTiles::access_memory(std::uint32_t tile, std::uint32_t context, bool store) {
  auto& m = tile_state(tile).m[context];
  const std::uint32_t address = m[1];
  if (address % 4 != 0 || !TileMemory::in_window(address, 4)) {
    return failed(
        tile, TDI_FAILURE_MEMORY,
        fmt::format("{} at 0x{:x}, {}", store ? "store" : "load", address,
                    address % 4 != 0 ? "not a word's address" : "outside the tile memory"));
  }
  if (!store) {
    m[0] = memory_.read_word(tile, address);
    return 0;
  }
  std::uint32_t value = m[0];
  for (const CorruptedStore& corrupted : faults_.corrupted_stores) {
    if (corrupted.tile == tile && corrupted.address == address) {
      value ^= corrupted.mask;
      ++firings_.corrupted_stores;
      break;
    }
  }
  memory_.write_word(tile, address, value);
  return 0;
}

}  // namespace zel_sim
