// Takes the input as a bootloader ELF file, as the tool hands the file it read to
// Loader::create_in_place, with a device opened on the simulated device. The verdict and the
// bootloader bytes are compared with what the harness's own program-header reader makes of
// the same file.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "elf_program_headers.hpp"
#include "fuzz_check.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/loader.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

using zel_driver::DriverError;
using zel_fuzz::check;

// What a loader made from the file should be: a refusal (its debug form, or "Elf" for any
// error of the ELF reader) or the padded bootloader bytes.
struct Verdict {
  std::string refusal;
  std::vector<std::byte> bootloader;
  bool operator==(const Verdict&) const = default;
};

Verdict refused(std::string refusal) { return {std::move(refusal), {}}; }

Verdict expected_verdict(std::span<const std::byte> file) {
  const auto view = zel_fuzz::ElfView::open(file);
  if (!view) return refused("Elf");
  const auto headers = view->program_headers();
  if (!headers) return refused("Elf");
  std::optional<std::span<const std::byte>> image;
  for (const zel_fuzz::ProgramHeader& header : *headers) {
    if (header.type != zel_fuzz::PT_LOAD_TYPE || header.vaddr != zel_driver::BOOTLOADER_ADDRESS ||
        header.memsz == 0) {
      continue;
    }
    if (image) return refused(R"(Invalid("multiple bootloader load segments"))");
    if (!view->inside(header.offset, header.filesz, 1)) return refused("Elf");
    image = file.subspan(header.offset, header.filesz);
  }
  if (!image) return refused(R"(Invalid("missing bootloader segment"))");
  if (image->size() > zel_driver::DESCRIPTOR_AREA_BYTES) {
    return refused(R"(Invalid("bootloader exceeds descriptor area"))");
  }
  const std::size_t unit = zel_driver::BOOTLOADER_PADDING_UNIT;
  std::vector<std::byte> bootloader(image->begin(), image->end());
  bootloader.resize((bootloader.size() + unit - 1) / unit * unit);
  return {"", std::move(bootloader)};
}

Verdict actual_verdict(const zel_driver::Result<zel_driver::Loader>& loader) {
  if (!loader) {
    const DriverError& error = loader.error();
    return refused(error.kind() == DriverError::Kind::Elf ? "Elf" : error.debug());
  }
  const auto bootloader = loader->bootloader();
  return {"", std::vector<std::byte>(bootloader.begin(), bootloader.end())};
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
  // The tool's own buffer, which the ELF reader may work in.
  std::vector<std::byte> buffer(file.begin(), file.end());
  const auto loader = zel_driver::Loader::create_in_place(device, buffer);
  check(sim.trace().records().empty(), "making a loader touches no device");
  const Verdict actual = actual_verdict(loader), expected = expected_verdict(file);
  const auto view = zel_fuzz::ElfView::open(file);
  // Where the section headers lie outside the file, the ELF library may refuse it too.
  if (actual.refusal == "Elf" && view && view->section_headers_outside()) return 0;
  if (actual != expected) {
    std::fprintf(stderr, "loader: %s %zu bytes; program headers: %s %zu bytes\n",
                 loader ? "" : loader.error().debug().c_str(), actual.bootloader.size(),
                 expected.refusal.c_str(), expected.bootloader.size());
  }
  check(actual == expected,
        "the loader's verdict and bytes are those of the file's program headers");
  if (loader) check(&loader->device() == &device, "the loader refers to the device it was given");
  return 0;
}
