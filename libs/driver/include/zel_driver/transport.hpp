#pragma once

#include <cstddef>
#include <cstdint>

#include "zel_driver/transport_frames.hpp"
#include "zel_target/target.hpp"

// The transport: the one host buffer through which the loader hands tile images to the tile
// bootloaders, a batch of tiles at a time. During a batch it holds a descriptor table with
// one entry per slot (the transport offset of the slot's framed image, then its number of
// frames; 32-bit little-endian each, all zero for an empty slot), zeros up to the first
// frame offset, the framed images of the slots back to back in slot order, and zeros after
// them. Once every batch is taken, the whole buffer filled with 0xFF is the execute sentinel.
// Each state is announced to the device with a mark on HSP_SYNC_CONTROL_0, which the device
// clears when it has taken it.
namespace zel_driver {

inline constexpr std::size_t TRANSPORT_BYTES = 0x2842000;
// The index the transport is attached under.
inline constexpr std::uint32_t TRANSPORT_INDEX = 0;

inline constexpr std::size_t BATCH_SLOTS = 64;
inline constexpr std::size_t DESCRIPTOR_BYTES = 8;
inline constexpr std::size_t DESCRIPTOR_OFFSET_FIELD = 0;
inline constexpr std::size_t DESCRIPTOR_FRAMES_FIELD = 4;
inline constexpr std::size_t FIRST_FRAME_OFFSET = 0x1000;
static_assert(BATCH_SLOTS * DESCRIPTOR_BYTES <= FIRST_FRAME_OFFSET);

// A tile's bootloader puts the payload of frame n at SECONDARY_LOADER_ADDRESS + 992 x n, and
// takes at most MAX_TILE_FRAMES frames, so an image ends at SECONDARY_LOADER_END at most.
inline constexpr std::uint32_t SECONDARY_LOADER_ADDRESS = 0x4c010;
inline constexpr std::size_t MAX_TILE_FRAMES = 643;
inline constexpr std::uint32_t SECONDARY_LOADER_END =
    SECONDARY_LOADER_ADDRESS + MAX_TILE_FRAMES * FRAME_PAYLOAD_BYTES;
static_assert(SECONDARY_LOADER_END <=
              zel_target::Target(zel_target::Target::Zel21).tile_memory().end);
// A full batch of the largest images fits.
static_assert(FIRST_FRAME_OFFSET + BATCH_SLOTS * MAX_TILE_FRAMES * FRAME_BYTES <= TRANSPORT_BYTES);

inline constexpr std::byte SENTINEL_FILL{0xff};

// The marks that announce a batch and the sentinel.
inline constexpr std::uint32_t BATCH_MARK = 1;
inline constexpr std::uint32_t SENTINEL_MARK = 1;

}  // namespace zel_driver
