#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zel_driver/device.hpp"

namespace zel_driver {

// A bootloader ELF file as the loader takes it: the file's form, the one segment at
// BOOTLOADER_ADDRESS, and that segment's bytes ready for the autoloader.
struct BootloaderElf {
  unsigned elf_class;  // 32 or 64
  bool big_endian;
  std::uint64_t segment_file_bytes;
  std::uint64_t segment_memory_bytes;
  // The segment's file bytes, padded with zeros to a multiple of BOOTLOADER_PADDING_UNIT.
  std::vector<std::byte> image;
};

// Reads `file` as Loader::create does, with its errors; touches no device. Kept apart from the
// loader so that the file can be checked without one. The ELF reader works in `file` itself
// and may rewrite it: the caller hands over bytes it no longer needs as they were.
[[nodiscard]] Result<BootloaderElf> read_bootloader_elf(std::span<std::byte> file);

}  // namespace zel_driver
