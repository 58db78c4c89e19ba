#pragma once

#include <cstdint>

// The configuration-space registers the stack uses: 32-bit registers at byte offsets.
namespace zel_driver {

inline constexpr std::uint32_t CONFIG_OFFSET_LAST = 0x7fffc;

inline constexpr std::uint32_t CCSR = 0x2000;

// Hardware autoloader.
inline constexpr std::uint32_t AUTOLOADER_CONTROL = 0x2068;
inline constexpr std::uint32_t AUTOLOADER_ZONE = 0x206c;
inline constexpr std::uint32_t AUTOLOADER_DATA = 0x2070;

// Host sync (HSP) synchronization control registers.
inline constexpr std::uint32_t HSP_SYNC_CONTROL_0 = 0x302c;
inline constexpr std::uint32_t HSP_SYNC_CONTROL_1 = 0x3030;

inline constexpr std::uint32_t LOADER_SETUP = 0x3044;

// Exchange-block control registers: instances 0 to 7 from the primary base, 8 to 15 from
// the secondary one, 0x400 apart.
inline constexpr std::uint32_t XB_CONTROL_PRIMARY_BASE = 0x5404;
inline constexpr std::uint32_t XB_CONTROL_SECONDARY_BASE = 0x1b804;
inline constexpr std::uint32_t XB_CONTROL_STRIDE = 0x400;

// Tile debug windows: 16 registers per tile, 64 bytes apart.
inline constexpr std::uint32_t TILE_DEBUG_BASE = 0x30000;
inline constexpr std::uint32_t TILE_DEBUG_STRIDE = 64;

// Register indices inside a tile's debug window.
inline constexpr std::uint32_t TILE_CONTEXT_STATUS = 0;
inline constexpr std::uint32_t TILE_RUN_BREAK = 1;
inline constexpr std::uint32_t TILE_DEBUG_INSTRUCTION = 3;
inline constexpr std::uint32_t TILE_DEBUG_CONTEXT = 4;
inline constexpr std::uint32_t TILE_CONTEXT_RESUME = 6;
inline constexpr std::uint32_t TILE_DEBUG_DATA = 7;
inline constexpr std::uint32_t TILE_DEBUG_STATUS = 8;
inline constexpr std::uint32_t TILE_DEBUG_CONTROL = 9;

}  // namespace zel_driver
