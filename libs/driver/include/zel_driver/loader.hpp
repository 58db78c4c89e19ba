#pragma once

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

// Loads applications onto a device: holds the bootloader taken from an ELF file and refers to
// the device it loads onto. The device must outlive the loader and stay where it is (a moved
// Device leaves the loader dangling).
class Loader {
 public:
  // Takes the file bytes of the one PT_LOAD segment at 0x4c000 with a non-zero memory size
  // (other segments are ignored), at most 4096 of them, padded with zeros to a multiple of
  // 1024. An unreadable file, or segment bytes outside it, is Elf with the reader's message;
  // otherwise Invalid "multiple bootloader load segments", "missing bootloader segment" or
  // "bootloader exceeds descriptor area". Touches no device; keeps nothing of the file but the
  // segment bytes.
  static Result<Loader> create(const Device& device, std::span<const std::byte> bootloader_elf);

  // Puts `app` onto the device's tiles and starts it, ending with `final_mark` (or the batch
  // count when it is 0) as the application's initial synchronization.
  Status load(const zel_package::Application& app, std::uint32_t final_mark) const;

  std::span<const std::byte> bootloader() const { return bootloader_; }
  const Device& device() const { return *device_; }

 private:
  Loader(const Device& device, std::vector<std::byte> bootloader)
      : device_(&device), bootloader_(std::move(bootloader)) {}

  const Device* device_;
  std::vector<std::byte> bootloader_;
};

}  // namespace zel_driver
