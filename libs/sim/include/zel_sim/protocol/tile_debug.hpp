#pragma once

#include <cstdint>

// A tile's debug window (reg::TILE_DEBUG_BASE + 64 x tile): its register indices, the states
// of its seven contexts and the debug instructions it executes.
namespace zel_sim::tdi {

// Register indices; the other eight of the window's sixteen are not used.
inline constexpr std::uint32_t CONTEXT_STATUS = 0;  // read only: 2 bits per context
inline constexpr std::uint32_t RUN_BREAK = 1;       // a bit per context: stop it
inline constexpr std::uint32_t INSTRUCTION = 3;     // written last: executes the word
inline constexpr std::uint32_t CONTEXT = 4;         // the context the instruction runs in
inline constexpr std::uint32_t CONTEXT_RESUME = 6;  // a bit per context: run again
inline constexpr std::uint32_t DEBUG_DATA = 7;
inline constexpr std::uint32_t DEBUG_STATUS = 8;   // read only
inline constexpr std::uint32_t DEBUG_CONTROL = 9;  // written EXECUTE before every instruction

inline constexpr std::uint32_t CONTEXTS = 7;
inline constexpr std::uint32_t M_REGISTERS = 16;
inline constexpr std::uint32_t STATE_BITS = 2;
inline constexpr std::uint32_t STATE_MASK = 0x3;
inline constexpr std::uint32_t INACTIVE = 0;
inline constexpr std::uint32_t RUNNING = 1;
inline constexpr std::uint32_t STOPPED = 2;  // 3 is stopped as well

inline constexpr std::uint32_t EXECUTE = 6;

// DEBUG_STATUS: bit 3 while an instruction executes; bits 2..0 its failure code, 0 success.
inline constexpr std::uint32_t STATUS_BUSY = 0x8;
inline constexpr std::uint32_t STATUS_FAILURE = 0x7;

// Instruction words. The two debug-data moves name an M register in a 4-bit field.
inline constexpr std::uint32_t PUT_DEBUG_DATA = 0x43008070;  // M register into DEBUG_DATA
inline constexpr std::uint32_t PUT_REGISTER_SHIFT = 20;
inline constexpr std::uint32_t GET_DEBUG_DATA = 0x41000070;  // DEBUG_DATA into M register
inline constexpr std::uint32_t GET_REGISTER_SHIFT = 16;
inline constexpr std::uint32_t REGISTER_FIELD = 0xf;
inline constexpr std::uint32_t LOAD_WORD = 0x01f01000;   // M0 = memory[M1]
inline constexpr std::uint32_t STORE_WORD = 0x4f10f000;  // memory[M1] = M0

}  // namespace zel_sim::tdi
