#include "zel_sim/sim_tiles.hpp"

#include <algorithm>
#include <utility>

#include "zel_driver/registers.hpp"
#include "zel_driver/tile_debug.hpp"

namespace zel_sim {

using namespace zel_driver;

namespace {

constexpr std::uint32_t PUT_REGISTER_FIELD = 0xf << 20;
constexpr std::uint32_t GET_REGISTER_FIELD = 0xf << 16;

bool is_put_debug_data(std::uint32_t word) {
  return (word & ~PUT_REGISTER_FIELD) == *tdi_instruction::put_debug_data_m(0);
}
bool is_get_debug_data(std::uint32_t word) {
  return (word & ~GET_REGISTER_FIELD) == tdi_instruction::get_debug_data_m(0);
}

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

}  // namespace

SimTiles::SimTiles(std::span<std::uint32_t> registers, TileMemory& memory, Faults& faults)
    : registers_(registers), memory_(memory), faults_(faults) {}

bool SimTiles::owns(std::uint32_t offset) const {
  return offset >= TILE_DEBUG_BASE &&
         (offset - TILE_DEBUG_BASE) / TILE_DEBUG_STRIDE < memory_.tile_count();
}

std::uint32_t& SimTiles::reg(std::uint32_t tile, std::uint32_t index) {
  return registers_[(TILE_DEBUG_BASE + tile * TILE_DEBUG_STRIDE) / 4 + index];
}

std::uint32_t SimTiles::reg(std::uint32_t tile, std::uint32_t index) const {
  return registers_[(TILE_DEBUG_BASE + tile * TILE_DEBUG_STRIDE) / 4 + index];
}

SimTiles::Tile& SimTiles::tile_state(std::uint32_t tile) { return tiles_[tile]; }

std::uint32_t SimTiles::load(std::uint32_t offset) {
  const std::uint32_t tile = (offset - TILE_DEBUG_BASE) / TILE_DEBUG_STRIDE;
  const std::uint32_t index = (offset - TILE_DEBUG_BASE) % TILE_DEBUG_STRIDE / 4;
  switch (index) {
    case TILE_CONTEXT_STATUS:
      return read_context_status(tile);
    case TILE_DEBUG_STATUS:
      return read_debug_status(tile);
    default:
      return reg(tile, index);
  }
}

void SimTiles::store(std::uint32_t offset, std::uint32_t value) {
  const std::uint32_t tile = (offset - TILE_DEBUG_BASE) / TILE_DEBUG_STRIDE;
  const std::uint32_t index = (offset - TILE_DEBUG_BASE) % TILE_DEBUG_STRIDE / 4;
  switch (index) {
    case TILE_CONTEXT_STATUS:
    case TILE_DEBUG_STATUS:
      return;  // read only
    case TILE_DEBUG_CONTROL:
      reg(tile, index) = value;
      tile_state(tile).armed = value == TILE_DEBUG_CONTROL_EXECUTE;
      return;
    case TILE_DEBUG_INSTRUCTION:
      reg(tile, index) = value;
      start_instruction(tile, value);
      return;
    case TILE_CONTEXT_RESUME:
      reg(tile, index) = value;
      resume(tile, value);
      return;
    default:
      // TILE_RUN_BREAK keeps every bit; stopping happens as the host watches the state.
      reg(tile, index) = value;
      return;
  }
}

std::uint32_t SimTiles::context_state(std::uint32_t tile, std::uint32_t context) const {
  return reg(tile, TILE_CONTEXT_STATUS) >> (2 * context) & TILE_CONTEXT_STATE_MASK;
}

void SimTiles::set_context_state(std::uint32_t tile, std::uint32_t context, std::uint32_t state) {
  std::uint32_t& status = reg(tile, TILE_CONTEXT_STATUS);
  status = (status & ~(TILE_CONTEXT_STATE_MASK << 2 * context)) | (state & TILE_CONTEXT_STATE_MASK)
                                                                      << 2 * context;
  tile_state(tile).stop_reads[context] = 0;
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
  const std::uint32_t run_break = reg(tile, TILE_RUN_BREAK);
  Tile& state = tile_state(tile);
  for (std::uint32_t context = 0; context < CONTEXTS; ++context) {
    const bool asked = context_state(tile, context) == TILE_CONTEXT_RUNNING &&
                       (run_break >> context & 1) != 0 && !faults_.contexts_never_stop;
    if (!asked) {
      state.stop_reads[context] = 0;
    } else if (++state.stop_reads[context] >= CONTEXT_STOP_STATUS_READS) {
      set_context_state(tile, context, TILE_CONTEXT_STOPPED);
    }
  }
  std::uint32_t status = reg(tile, TILE_CONTEXT_STATUS);
  for (std::uint32_t context = 0; context < CONTEXTS; ++context) {
    if (auto forced = forced_state(tile, context)) {
      status = (status & ~(TILE_CONTEXT_STATE_MASK << 2 * context)) |
               (*forced & TILE_CONTEXT_STATE_MASK) << 2 * context;
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
  const std::uint32_t run_break = reg(tile, TILE_RUN_BREAK);
  for (std::uint32_t context = 0; context < CONTEXTS; ++context) {
    const std::uint32_t bit = 1u << context;
    if ((mask & bit) != 0 && (run_break & bit) == 0 &&
        context_state(tile, context) >= TILE_CONTEXT_STOPPED) {
      set_context_state(tile, context, TILE_CONTEXT_RUNNING);
    }
  }
}

// A new instruction replaces one still in flight, which then never takes effect.
void SimTiles::start_instruction(std::uint32_t tile, std::uint32_t word) {
  Tile& state = tile_state(tile);
  Instruction instruction{.word = word,
                          .context = reg(tile, TILE_DEBUG_CONTEXT),
                          .armed = std::exchange(state.armed, false),
                          .busy_reads = faults_.tdi_busy_status_reads,
                          .stuck = take_if_due(faults_.tdi_stuck).has_value(),
                          .forced_status = std::nullopt};
  if (auto failure = take_if_due(faults_.tdi_failure)) instruction.forced_status = failure->status;
  state.in_flight = instruction;
  reg(tile, TILE_DEBUG_STATUS) |= TDI_STATUS_BUSY;
}

std::uint32_t SimTiles::read_debug_status(std::uint32_t tile) {
  std::uint32_t& status = reg(tile, TILE_DEBUG_STATUS);
  Tile& state = tile_state(tile);
  if (!state.in_flight || state.in_flight->stuck) return status;
  if (state.in_flight->busy_reads > 0) {
    --state.in_flight->busy_reads;
    return status;
  }
  const Instruction done = *std::exchange(state.in_flight, std::nullopt);
  status = done.forced_status ? *done.forced_status : execute(tile, done);
  return status;
}

std::uint32_t SimTiles::execute(std::uint32_t tile, const Instruction& instruction) {
  if (!instruction.armed) return TDI_FAILURE_NOT_ARMED;
  const std::uint32_t context = instruction.context;
  // Debug instructions need a context that is not running.
  if (context >= CONTEXTS || effective_state(tile, context) == TILE_CONTEXT_RUNNING) {
    return TDI_FAILURE_CONTEXT_UNAVAILABLE;
  }
  auto& m = tile_state(tile).m[context];
  const std::uint32_t word = instruction.word;
  if (is_put_debug_data(word)) {
    reg(tile, TILE_DEBUG_DATA) = m[(word & PUT_REGISTER_FIELD) >> 20];
    return 0;
  }
  if (is_get_debug_data(word)) {
    m[(word & GET_REGISTER_FIELD) >> 16] = reg(tile, TILE_DEBUG_DATA);
    return 0;
  }
  if (word == tdi_instruction::TDI_LOAD_WORD) return load_word(tile, context);
  if (word == tdi_instruction::TDI_STORE_WORD) return store_word(tile, context);
  return TDI_FAILURE_UNKNOWN_INSTRUCTION;
}

std::uint32_t SimTiles::load_word(std::uint32_t tile, std::uint32_t context) {
  auto& m = tile_state(tile).m[context];
  const std::uint32_t address = m[1];
  if (address % 4 != 0 || !TileMemory::in_window(address, 4)) return TDI_FAILURE_MEMORY;
  m[0] = memory_.read_word(tile, address);
  return 0;
}

std::uint32_t SimTiles::store_word(std::uint32_t tile, std::uint32_t context) {
  const auto& m = tile_state(tile).m[context];
  const std::uint32_t address = m[1];
  if (address % 4 != 0 || !TileMemory::in_window(address, 4)) return TDI_FAILURE_MEMORY;
  std::uint32_t value = m[0];
  for (const CorruptedStore& corrupted : faults_.corrupted_stores) {
    if (corrupted.tile == tile && corrupted.address == address) {
      value ^= corrupted.mask;
      break;
    }
  }
  memory_.write_word(tile, address, value);
  return 0;
}

}  // namespace zel_sim
