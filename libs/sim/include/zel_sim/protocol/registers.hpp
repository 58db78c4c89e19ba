#pragma once

#include <cstddef>
#include <cstdint>

// The device's configuration-space registers that the simulated device gives a behaviour:
// 32-bit registers at byte offsets. Every other offset is plain storage.
namespace zel_sim::reg {

inline constexpr std::uint32_t CCSR = 0x2000;
// CCSR bits 1 and 10: clear while the exchange blocks carry a host transfer.
inline constexpr std::uint32_t CCSR_EXCHANGE_BITS = 0x402;

inline constexpr std::uint32_t AUTOLOADER_CONTROL = 0x2068;
inline constexpr std::uint32_t AUTOLOADER_ZONE = 0x206c;
inline constexpr std::uint32_t AUTOLOADER_DATA = 0x2070;

// The HSP synchronization control registers: a 16-bit mark in bits 15..0, bits 31..16 zero.
inline constexpr std::uint32_t HSP_SYNC_CONTROL_0 = 0x302c;
inline constexpr std::uint32_t HSP_SYNC_CONTROL_1 = 0x3030;
inline constexpr std::uint32_t HSP_MARK_MASK = 0xffff;

// Set up once per application load, before the tile bootloader takes its first batch.
inline constexpr std::uint32_t LOADER_SETUP = 0x3044;
inline constexpr std::uint32_t LOADER_SETUP_VALUE = 0x800;

// The tiles' debug windows: 16 registers per tile, room for the largest device's 2048 tiles.
inline constexpr std::uint32_t TILE_DEBUG_BASE = 0x30000;
inline constexpr std::uint32_t TILE_DEBUG_STRIDE = 64;
inline constexpr std::uint32_t TILE_DEBUG_WINDOWS = 2048;

}  // namespace zel_sim::reg

// The sixteen exchange blocks: a control register each, 0x400 apart from two bases.
namespace zel_sim::xb {

inline constexpr std::size_t INSTANCES = 16;
inline constexpr std::size_t PRIMARY_INSTANCES = 8;
inline constexpr std::uint32_t PRIMARY_BASE = 0x5404;
inline constexpr std::uint32_t SECONDARY_BASE = 0x1b804;
inline constexpr std::uint32_t STRIDE = 0x400;

constexpr std::uint32_t control_register(std::size_t instance) {
  return instance < PRIMARY_INSTANCES
             ? PRIMARY_BASE + static_cast<std::uint32_t>(instance) * STRIDE
             : SECONDARY_BASE + static_cast<std::uint32_t>(instance - PRIMARY_INSTANCES) * STRIDE;
}

// Control words: bit 1 set and a request ID in four 6-bit fields (bits 3, 9, 15 and 21).
// Request ID 0x3f holds a block for a host transfer; in operation the primary blocks carry
// request ID 0, the others 1.
inline constexpr std::uint32_t TRANSFER_CONTROL = 0x7fffffa;
inline constexpr std::uint32_t PRIMARY_CONTROL = 0x2;
inline constexpr std::uint32_t SECONDARY_CONTROL = 0x20820a;

}  // namespace zel_sim::xb
