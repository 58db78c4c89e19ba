// Writes the seed corpora of the fuzz targets, built from the fixtures: under the directory
// given, one directory per target (configuration_image, package, bootloader_elf, tool_files) and
// one file per seed. Seeds are sound inputs and a few that each break one rule, so the fuzzer
// starts from every path the readers have.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tool_files_input.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/device_lock.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/tracing_backend.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_sim/sim_device.hpp"

namespace {

using Seed = std::pair<std::string, std::vector<std::byte>>;
using namespace zel_fixtures;

// A seed that cannot be made ends the program.
[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "fuzz_seeds: %s\n", why.c_str());
  std::exit(1);
}

template <class Result>
void exit_on_error(const Result& result, const std::string& what) {
  if (!result) fail(what + ": " + result.error().display());
}

// The stores the driver makes to put a prefix into tile memory through the autoloader and to
// write a word through a tile's worker context, as a capture taken during that work holds
// them: replaying it drives the simulated autoloader and tile debug windows.
std::vector<ConfigWrite> device_work_capture() {
  zel_sim::SimDevice sim({.trace = true});
  auto device = zel_driver::Device::open("/dev/zel0", sim);
  exit_on_error(device, "open the simulated device");
  exit_on_error(device->initialize_tile_memory(4, bootloader_code(1024)), "initialize tiles");
  exit_on_error(device->write_tile_word_from_inactive_context(3, 1, 0x4c100, 0x600df00d),
                "write a tile word");
  std::vector<ConfigWrite> writes;
  for (const zel_sim::TraceRecord& record : sim.trace().accesses()) {
    if (record.op == zel_sim::TraceOp::Store) {
      writes.push_back({*record.offset, static_cast<std::uint32_t>(*record.value)});
    }
  }
  return writes;
}

std::vector<Seed> configuration_image_seeds() {
  using zel_driver::CCSR;
  using zel_driver::HSP_SYNC_CONTROL_0;
  using zel_driver::HSP_SYNC_CONTROL_1;
  std::vector<std::byte> cut = configuration_image({{CCSR, 0x402}, {CCSR + 4, 1}});
  cut.resize(cut.size() - 8);
  return {
      {"captured", configuration_image(captured_configuration())},
      {"device_work", configuration_image(device_work_capture())},
      {"empty", configuration_image({})},
      {"host_sync_only", configuration_image({{HSP_SYNC_CONTROL_0, 1}, {HSP_SYNC_CONTROL_1, 2}})},
      {"offset_out_of_range", configuration_image({{CCSR, 1}, {0x80000, 2}, {CCSR + 4, 3}})},
      {"record_missing", cut},
  };
}

// An idle application whose tiles show the other shapes a tile image can take: no segments,
// a zero-size segment below the others and a segment ending at the window's end, and
// segments listed out of address order.
zel_package::Application varied_tiles() {
  auto app = idle_application(4);
  app.tiles[1].segments.clear();
  app.tiles[2].segments.push_back({0x4c000, 0, {}, 0});
  app.tiles[2].segments.push_back({0xe7ff0, 0x10, std::vector<std::byte>(8, std::byte{0x5a}), 0});
  std::ranges::reverse(app.tiles[3].segments);
  return app;
}

std::vector<Seed> package_seeds() {
  return {
      {"idle_1", write_package(idle_application(1))},
      {"idle_3", write_package(idle_application(3))},
      {"idle_64", write_package(idle_application(64))},
      {"idle_3_many_segments", write_package(idle_application(3), {.first_segment_words = 16})},
      {"varied_tiles", write_package(varied_tiles())},
      {"no_tiles", write_package(zel_package::Application(zel_target::Target::Zel21))},
      {"old_schema", write_package(idle_application(1), {.schema_version = 4})},
  };
}

std::vector<std::byte> elf(std::expected<std::vector<std::byte>, std::string> bytes) {
  if (!bytes) fail(bytes.error());
  return std::move(*bytes);
}

ElfSegment bootloader_segment(std::size_t bytes) {
  return {.vaddr = 0x4c000, .memsz = 0x2000, .bytes = bootloader_code(bytes)};
}

std::vector<Seed> bootloader_elf_seeds() {
  ElfSegment data{
      .vaddr = 0x100000, .memsz = 0x100, .bytes = bootloader_code(64), .section = ".data"};
  ElfSegment beside = bootloader_segment(64);
  beside.vaddr = 0x4c010;
  ElfSegment cut_off = bootloader_segment(256);
  cut_off.claimed_filesz = 0x10000;
  return {
      {"bootloader_1000", elf(bootloader_elf(1000))},
      {"bootloader_4096", elf(bootloader_elf(4096))},
      {"bootloader_no_file_bytes", elf(bootloader_elf(0))},
      {"elf64_big_endian", elf(write_elf({.elf_class = ElfClass::Elf64,
                                          .byte_order = ByteOrder::Big,
                                          .segments = {data, bootloader_segment(512)}}))},
      {"two_bootloader_segments",
       elf(write_elf({.segments = {bootloader_segment(16), bootloader_segment(16)}}))},
      {"segment_beside_base", elf(write_elf({.segments = {beside}}))},
      {"too_large", elf(write_elf({.segments = {bootloader_segment(4097)}}))},
      {"bytes_outside_file", elf(write_elf({.segments = {cut_off}}))},
  };
}

// The three files together, as one run reads them: a passing run, and runs that stop at
// each of the files.
std::vector<Seed> tool_files_seeds() {
  const auto config = configuration_image(captured_configuration());
  const auto package = write_package(idle_application(64));
  const auto bootloader = elf(bootloader_elf(1000));
  const auto empty_image = configuration_image({});
  return {
      {"passing_run", zel_fuzz::join_tool_files(config, package, bootloader)},
      {"empty_image", zel_fuzz::join_tool_files(empty_image, package, bootloader)},
      {"no_package", zel_fuzz::join_tool_files(config, {}, bootloader)},
      {"text_as_bootloader", zel_fuzz::join_tool_files(config, package, config)},
  };
}

// Traces of the work fuzz_trace replays (the bring-up and a word read), as the device answered
// it and as a failing device did: every op, and answers that take the stack elsewhere.
std::vector<Seed> trace_seeds() {
  const auto traced = [](zel_sim::Faults faults) {
    zel_sim::SimDevice sim;
    sim.faults() = std::move(faults);
    std::ostringstream lines;
    zel_driver::TracingBackend tracing(sim, lines);
    {
      auto lock = zel_driver::DeviceLock::take("/dev/zel0", tracing);
      auto device = zel_driver::Device::open("/dev/zel0", tracing);
      if (device && device->initialize()) {
        static_cast<void>(device->read_tile_words_from_inactive_context(3, 1, 0x4c100, 1));
      }
    }
    tracing.finish();
    static_cast<void>(sim.take_refusals());
    const std::string text = lines.str();
    const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
    return std::vector<std::byte>(bytes, bytes + text.size());
  };
  return {
      {"bring_up", traced({})},
      {"set_id_refused", traced({.ioctl_failures = {{zel_driver::IOCTL_SET_ID, EPERM}}})},
      {"icu_answers_wrongly", traced({.mailbox_response = zel_sim::icu::Message{1, 2, 3, 4, 5}})},
      {"tdi_slow", traced({.tdi_busy_status_reads = 2})},
  };
}

void write_seeds(const std::filesystem::path& directory, const std::vector<Seed>& seeds) {
  std::filesystem::create_directories(directory);
  for (const auto& [name, bytes] : seeds) {
    std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + (directory / name).string());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path root = argv[1];
  write_seeds(root / "configuration_image", configuration_image_seeds());
  write_seeds(root / "package", package_seeds());
  write_seeds(root / "bootloader_elf", bootloader_elf_seeds());
  write_seeds(root / "tool_files", tool_files_seeds());
  write_seeds(root / "trace", trace_seeds());
  return 0;
}
