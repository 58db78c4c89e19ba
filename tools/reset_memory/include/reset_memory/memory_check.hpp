#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

#include "reset_memory/run_end.hpp"
#include "reset_memory/run_observer.hpp"
#include "zel_driver/device.hpp"

namespace reset_memory {

// The words under test: five addresses (the first word of the tile-memory window, three
// inside it, its last word) on each of five tiles spread over the device.
inline constexpr std::array<std::uint16_t, 5> TILES_UNDER_TEST = {0, 1, 63, 735, 1471};
inline constexpr std::array<std::uint32_t, 5> ADDRESSES_UNDER_TEST = {0x4c000, 0x60000, 0x80000,
                                                                      0xa0000, 0xe7ffc};
inline constexpr std::uint32_t POISON_VALUE = 0x7e007e00;
// Run-break bits of all seven contexts, and bit 30, set before a tile's words are touched.
inline constexpr std::uint32_t TILE_DEBUG_SETUP = 0x4000007f;
inline constexpr std::uint32_t WORKER_CONTEXT = 1;
inline constexpr std::size_t RESET_TILE_COUNT = 1472;

// Poisons the words and checks each write, restores the configuration from `config_path`,
// resets and times the reset of all tiles (writing "memory reset: ..." to `out`), reads the
// words back and passes only if all read zero (writing the PASS line).
[[nodiscard]] Step poison_reset_readback(const zel_driver::Device& device,
                                         const std::string& config_path, std::ostream& out,
                                         Phases phases);

}  // namespace reset_memory
