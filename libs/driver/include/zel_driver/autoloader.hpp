#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The hardware autoloader's register protocol (AUTOLOADER_CONTROL, _ZONE and _DATA in
// registers.hpp): the host writes CONTROL 0, feeds the prefix word by word to DATA, sizes the
// zone and starts the first command (load the prefix), then sizes the tile window and starts
// the second command (initialize tiles 0 to n - 1). Each command holds the busy bit until done.
namespace zel_driver {

// AUTOLOADER_CONTROL fields.
inline constexpr std::uint32_t AUTOLOADER_LOAD_POINTER_MASK = 0x3f;
inline constexpr std::uint32_t AUTOLOADER_BUSY = 0x100;
inline constexpr std::uint32_t AUTOLOADER_LAST_TILE_SHIFT = 9;
inline constexpr std::uint32_t AUTOLOADER_LAST_TILE_MASK = 0x7ff;
inline constexpr std::uint32_t AUTOLOADER_FIRST_COMMAND = 0x100000;

// AUTOLOADER_ZONE: the zone bit, with the prefix length in bytes for the first command and
// with the tile window (0x9c000 bytes) plus the prefix length in KiB for the second.
inline constexpr std::uint32_t AUTOLOADER_ZONE_BIT = 0x2000000;
inline constexpr std::uint32_t AUTOLOADER_WINDOW_ZONE = 0x209c000;

inline constexpr std::size_t AUTOLOADER_MAX_TILES = 2048;
inline constexpr std::size_t AUTOLOADER_PREFIX_UNIT = 1024;
inline constexpr std::size_t AUTOLOADER_MAX_PREFIX = 4096;
// The host reads CONTROL back after every 32nd data word, pacing the data stream.
inline constexpr std::size_t AUTOLOADER_WORDS_PER_READBACK = 32;

inline constexpr std::chrono::seconds AUTOLOADER_TIMEOUT{2};
inline constexpr std::chrono::microseconds AUTOLOADER_POLL_INTERVAL{100};

}  // namespace zel_driver
