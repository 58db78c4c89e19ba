#pragma once

#include <cstddef>
#include <cstdint>

// The tile bootloader's side of an application load: the host buffer it reads the tile images
// from (the transport), the descriptor table and frames of a batch, the execute sentinel and
// the marks on reg::HSP_SYNC_CONTROL_0 that announce each of them.
namespace zel_sim::transport {

inline constexpr std::uint32_t INDEX = 0;  // attached under this index
inline constexpr std::size_t BYTES = 0x2842000;

// A batch: 64 descriptors (frame offset, frame count; 32 bits each) at offset 0, zeros up to
// the first frame, the slots' frames back to back in slot order, zeros after them.
inline constexpr std::size_t BATCH_SLOTS = 64;
inline constexpr std::size_t DESCRIPTOR_BYTES = 8;
inline constexpr std::size_t DESCRIPTOR_OFFSET = 0;
inline constexpr std::size_t DESCRIPTOR_FRAMES = 4;
inline constexpr std::size_t FIRST_FRAME_OFFSET = 0x1000;

// A frame: frame number, tile, flags and a zero word; 992 payload bytes; 16 bytes of 0xff.
inline constexpr std::size_t FRAME_BYTES = 1024;
inline constexpr std::size_t FRAME_NUMBER = 0;
inline constexpr std::size_t FRAME_TILE = 4;
inline constexpr std::size_t FRAME_FLAGS = 8;
inline constexpr std::size_t FRAME_RESERVED = 12;
inline constexpr std::size_t FRAME_PAYLOAD = 16;
inline constexpr std::size_t FRAME_PAYLOAD_BYTES = 992;
inline constexpr std::size_t FRAME_TRAILER_BYTES = 16;
inline constexpr std::uint8_t FRAME_TRAILER_FILL = 0xff;
inline constexpr std::uint32_t LAST_FRAME_FLAG = 0x08000000;

// Where the autoloader puts the bootloader, and where frame n's payload goes:
// SECONDARY_LOADER_ADDRESS + 992 x n. An image is at least 0x4134 bytes (17 frames) and at
// most 643 frames.
inline constexpr std::uint32_t BOOTLOADER_ADDRESS = 0x4c000;
inline constexpr std::uint32_t SECONDARY_LOADER_ADDRESS = 0x4c010;
inline constexpr std::size_t MINIMUM_IMAGE_BYTES = 0x4134;
inline constexpr std::size_t MIN_TILE_FRAMES =
    (MINIMUM_IMAGE_BYTES + FRAME_PAYLOAD_BYTES - 1) / FRAME_PAYLOAD_BYTES;
inline constexpr std::size_t MAX_TILE_FRAMES = 643;

// The whole transport filled with this is the execute sentinel.
inline constexpr std::uint8_t SENTINEL_FILL = 0xff;
// The mark that announces a batch, and the sentinel.
inline constexpr std::uint32_t TRANSFER_MARK = 1;

}  // namespace zel_sim::transport
