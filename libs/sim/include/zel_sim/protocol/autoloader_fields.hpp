#pragma once

#include <cstdint>

// The fields of the autoloader's registers (reg::AUTOLOADER_CONTROL, _ZONE, _DATA).
namespace zel_sim::autoloader {

// CONTROL: bits 5..0 the load pointer (the prefix's last word, modulo 64); bit 8 busy,
// written 1 to start a command; bits 19..9 the last tile of the range (second command);
// bit 20 marks the first command. Written 0, it begins a sequence.
inline constexpr std::uint32_t LOAD_POINTER_MASK = 0x3f;
inline constexpr std::uint32_t BUSY = 0x100;
inline constexpr std::uint32_t LAST_TILE_SHIFT = 9;
inline constexpr std::uint32_t LAST_TILE_MASK = 0x7ff;
inline constexpr std::uint32_t FIRST_COMMAND = 0x100000;

// ZONE: bit 25, with the prefix length in bytes for the first command, and with the tile
// window (0x9c000 bytes) plus the prefix length in KiB for the second.
inline constexpr std::uint32_t ZONE_BIT = 0x2000000;
inline constexpr std::uint32_t WINDOW_ZONE = 0x209c000;

// A prefix is 1 to 4 KiB.
inline constexpr std::uint32_t PREFIX_UNIT = 1024;
inline constexpr std::uint32_t MAX_PREFIX = 4096;

}  // namespace zel_sim::autoloader
