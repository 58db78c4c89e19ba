// Takes the input as a bootloader ELF file, as the tool hands the file it is given to
// Loader::create, with a device opened on the simulated device.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>

#include "fuzz_check.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/loader.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

using zel_driver::DriverError;
using zel_fuzz::check;

bool is_refusal(const DriverError& error) {
  if (error.kind() == DriverError::Kind::Elf) return true;
  const std::string debug = error.debug();
  return debug == R"(Invalid("multiple bootloader load segments"))" ||
         debug == R"(Invalid("missing bootloader segment"))" ||
         debug == R"(Invalid("bootloader exceeds descriptor area"))";
}

// The bootloader is the segment's file bytes followed by zero padding: without its trailing
// zeros it is a run of bytes of the file.
bool taken_from(std::span<const std::byte> bootloader, std::span<const std::byte> file) {
  const auto last = std::find_if(bootloader.rbegin(), bootloader.rend(),
                                 [](std::byte b) { return b != std::byte{0}; });
  const auto stored = bootloader.first(bootloader.size() - (last - bootloader.rbegin()));
  if (stored.empty()) return true;
  return std::search(file.begin(), file.end(),
                     std::boyer_moore_horspool_searcher(stored.begin(), stored.end())) !=
         file.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Making a loader touches no device, so one device serves every input; its trace shows
  // any access that slips through.
  static zel_sim::SimDevice sim({.trace = true});
  static const zel_driver::Device device = [] {
    auto opened = zel_driver::Device::open("/dev/zel0", sim);
    check(opened.has_value(), "the simulated device opens");
    sim.trace().clear();
    return std::move(*opened);
  }();

  const auto file = std::as_bytes(std::span(data, size));
  const auto loader = zel_driver::Loader::create(device, file);
  check(sim.trace().records().empty(), "making a loader touches no device");
  if (!loader) {
    check(is_refusal(loader.error()), "a refused file is an ELF error or a bootloader rule");
    return 0;
  }
  const auto bootloader = loader->bootloader();
  check(bootloader.size() % zel_driver::BOOTLOADER_PADDING_UNIT == 0 &&
            bootloader.size() <= zel_driver::DESCRIPTOR_AREA_BYTES,
        "the bootloader is whole KiB and fits the descriptor area");
  check(taken_from(bootloader, file), "the bootloader's bytes come from the file");
  check(&loader->device() == &device, "the loader refers to the device it was given");
  return 0;
}
