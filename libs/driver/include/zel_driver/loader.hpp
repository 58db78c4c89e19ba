#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zel_driver/device.hpp"
#include "zel_target/target.hpp"

namespace zel_package {
struct Application;
}

namespace zel_driver {

// The bootloader segment sits at the start of tile memory, where the autoloader puts it.
inline constexpr std::uint32_t BOOTLOADER_ADDRESS = 0x4c000;
static_assert(BOOTLOADER_ADDRESS ==
              zel_target::Target(zel_target::Target::Zel21).tile_memory().start);
// The descriptor area at BOOTLOADER_ADDRESS bounds the bootloader's file bytes.
inline constexpr std::size_t DESCRIPTOR_AREA_BYTES = 0x1000;
// The bootloader is padded with zeros to a whole number of these.
inline constexpr std::size_t BOOTLOADER_PADDING_UNIT = 0x400;

// The most tiles a load takes: the autoloader's tile range ends at tile 0x7ff.
inline constexpr std::size_t LOADER_LARGEST_TILE_COUNT = 2048;
// Written to LOADER_SETUP once per load, before the transfer.
inline constexpr std::uint32_t LOADER_SETUP_VALUE = 0x800;
// Shorter tile images are padded with zeros to this length before framing.
inline constexpr std::size_t MINIMUM_IMAGE_BYTES = 0x4134;
// How long each handshake with the device may take.
inline constexpr std::chrono::seconds LOADER_WAIT_TIMEOUT{10};

// Loads applications onto a device: holds the bootloader taken from an ELF file and refers to
// the device it loads onto. The device must outlive the loader and stay where it is (a moved
// Device leaves the loader dangling).
class Loader {
 public:
  // Takes the file bytes of the one PT_LOAD segment at 0x4c000 with a non-zero memory size
  // (other segments are ignored), at most 4096 of them, padded with zeros to a multiple of
  // 1024. An unreadable file, or segment bytes outside it, is Elf with the reader's message,
  // a program header count in a section the file lacks Elf "program header count in a missing
  // section"; otherwise Invalid "multiple bootloader load segments", "missing bootloader
  // segment" or "bootloader exceeds descriptor area". Memory that runs short is Io "read
  // bootloader ELF" with OutOfMemory. Touches no device; keeps nothing of the file but the
  // segment bytes.
  [[nodiscard]] static Result<Loader> create(const Device& device,
                                             std::span<const std::byte> bootloader_elf);
  // The same without a copy of the file: the ELF reader works in `bootloader_elf` itself and
  // may rewrite it, so the caller hands over bytes it owns and no longer needs as they were.
  [[nodiscard]] static Result<Loader> create_in_place(const Device& device,
                                                      std::span<std::byte> bootloader_elf);

  // Puts `app` onto the device's tiles and starts it: validates it, has the autoloader put
  // the bootloader on tiles 0 to n - 1, sends the tile images (in list order) through the
  // transport in batches of 64 tiles, each announced with mark 1 and acknowledged by the
  // device clearing it, then the execute sentinel, then `final_mark` (the batch count when it
  // is 0), after which the application has reached its initial synchronization. The exchange
  // blocks are held in their transfer state meanwhile. Package errors come back as Package,
  // a failed handshake as Timeout "{step}: {error}"; on every exit the exchange blocks are
  // restored (best effort), then the transport is detached, then released. What was done to
  // the device otherwise stays done.
  [[nodiscard]] Status load(const zel_package::Application& app, std::uint32_t final_mark) const;

  std::span<const std::byte> bootloader() const { return bootloader_; }
  const Device& device() const { return *device_; }

 private:
  Loader(const Device& device, std::vector<std::byte> bootloader)
      : device_(&device), bootloader_(std::move(bootloader)) {}
  // load, with memory that runs short left to propagate.
  [[nodiscard]] Status load_in_memory(const zel_package::Application& app,
                                      std::uint32_t final_mark) const;

  const Device* device_;
  std::vector<std::byte> bootloader_;
};

}  // namespace zel_driver
