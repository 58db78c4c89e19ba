#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// The tile debug interface (TDI): per-tile debug registers (indices in registers.hpp), the
// state of a tile's contexts, and single instructions executed in a context on the host's
// behalf. The operations are members of Device (tile_debug.cpp).
namespace zel_driver {

// Contexts 0 to 6; context 0 is not a worker. A context's bit in a per-context mask
// (TILE_RUN_BREAK, TILE_CONTEXT_RESUME) is 1 << context.
inline constexpr std::uint32_t TILE_CONTEXT_COUNT = 7;

// States of a context, the 2-bit fields of TILE_CONTEXT_STATUS (context n at bits 2n+1..2n).
inline constexpr std::uint32_t TILE_CONTEXT_INACTIVE = 0;
inline constexpr std::uint32_t TILE_CONTEXT_RUNNING = 1;
inline constexpr std::uint32_t TILE_CONTEXT_STOPPED = 2;  // 3 counts as stopped as well
inline constexpr std::uint32_t TILE_CONTEXT_STATE_MASK = 3;

// Written to TILE_DEBUG_CONTROL before every instruction.
inline constexpr std::uint32_t TILE_DEBUG_CONTROL_EXECUTE = 6;

// TILE_DEBUG_STATUS: the instruction is still executing; the failure status of the last one
// (0: success). The failure bits mean nothing while the busy bit is set.
inline constexpr std::uint32_t TDI_STATUS_BUSY = 0x8;
inline constexpr std::uint32_t TDI_STATUS_FAILURE = 0x7;

// How long one instruction may execute, counted from the write of its word. The status is
// re-read at once: an instruction takes microseconds, a sleep would dwarf it.
inline constexpr std::chrono::milliseconds TDI_INSTRUCTION_TIMEOUT{100};

// M registers 0 to 15 of a context.
inline constexpr std::uint32_t TILE_M_REGISTER_COUNT = 16;

// The instruction words the system executes.
namespace tdi_instruction {

// Copies M register `reg` into TILE_DEBUG_DATA; no word for a register of 16 or more, whose
// number would spill out of the 4-bit field (bits 23..20).
constexpr std::optional<std::uint32_t> put_debug_data_m(std::uint32_t reg) {
  if (reg >= TILE_M_REGISTER_COUNT) return std::nullopt;
  return 0x43008070u | reg << 20;
}

// Copies TILE_DEBUG_DATA into M register `reg` (field bits 19..16); used with 0 and 1.
constexpr std::uint32_t get_debug_data_m(std::uint32_t reg) { return 0x41000070u | reg << 16; }

// Loads into M register 0 the tile-memory word whose address is in M register 1.
inline constexpr std::uint32_t TDI_LOAD_WORD = 0x01f01000;
// Stores M register 0 at the tile-memory address held in M register 1.
inline constexpr std::uint32_t TDI_STORE_WORD = 0x4f10f000;

}  // namespace tdi_instruction

}  // namespace zel_driver
