#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "input_summary.hpp"
#include "reset_memory/run.hpp"
#include "zel/commands.hpp"

namespace zel {
namespace {

using json = nlohmann::ordered_json;

std::string hex(std::uint64_t value) { return fmt::format("0x{:x}", value); }

std::string offset_range(const InputSummary::Capture& capture) {
  if (!capture.lowest_offset) return "none";
  return fmt::format("0x{:x}..0x{:x}", *capture.lowest_offset, *capture.highest_offset);
}

std::string range(std::uint64_t fewest, std::uint64_t most) {
  return fewest == most ? fmt::format("{}", most) : fmt::format("{} to {}", fewest, most);
}

void print_text(const CheckOptions& options, const InputSummary& summary, std::ostream& out) {
  const auto& capture = summary.capture;
  const auto& package = summary.package;
  const auto& bootloader = summary.bootloader;
  out << fmt::format(
      "configuration {}\n"
      "  records: {} ({} host sync writes skipped)\n"
      "  offsets written: {}\n",
      zel_base::debug_quote(options.config), capture.records, capture.skipped_host_sync_writes,
      offset_range(capture));
  out << fmt::format(
      "package {}\n"
      "  target: {}, schema version {}, compiler version {}\n"
      "  tiles: {}, segments: {}\n"
      "  tile images: {} bytes in all, largest {} bytes, {} frames per tile\n"
      "  configuration writes: {}, profile steps: {}\n",
      zel_base::debug_quote(options.package), package.target, package.schema_version,
      zel_base::debug_quote(package.compiler_version), package.tiles, package.segments,
      package.image_bytes_total, package.image_bytes_largest,
      range(package.frames_fewest, package.frames_most), package.configuration_writes,
      package.profile_steps);
  out << fmt::format(
      "bootloader {}\n"
      "  ELF{}, {} endian, segment at 0x{:x}: {} file bytes, {} memory bytes\n",
      zel_base::debug_quote(options.bootloader), bootloader.elf_class,
      bootloader.big_endian ? "big" : "little", bootloader.segment_address, bootloader.file_bytes,
      bootloader.memory_bytes);
}

json as_json(const CheckOptions& options, const InputSummary& summary) {
  const auto& capture = summary.capture;
  const auto& package = summary.package;
  const auto& bootloader = summary.bootloader;
  json offsets = nullptr;
  if (capture.lowest_offset) {
    offsets = {{"lowest", hex(*capture.lowest_offset)}, {"highest", hex(*capture.highest_offset)}};
  }
  return {
      {"configuration",
       {{"path", options.config},
        {"records", capture.records},
        {"skipped_host_sync_writes", capture.skipped_host_sync_writes},
        {"offsets_written", offsets}}},
      {"package",
       {{"path", options.package},
        {"target", package.target},
        {"schema_version", package.schema_version},
        {"compiler_version", package.compiler_version},
        {"tiles", package.tiles},
        {"segments", package.segments},
        {"image_bytes_total", package.image_bytes_total},
        {"image_bytes_largest", package.image_bytes_largest},
        {"frames_per_tile", {{"fewest", package.frames_fewest}, {"most", package.frames_most}}},
        {"configuration_writes", package.configuration_writes},
        {"profile_steps", package.profile_steps}}},
      {"bootloader",
       {{"path", options.bootloader},
        {"elf_class", bootloader.elf_class},
        {"byte_order", bootloader.big_endian ? "big" : "little"},
        {"segment_address", hex(bootloader.segment_address)},
        {"file_bytes", bootloader.file_bytes},
        {"memory_bytes", bootloader.memory_bytes}}},
  };
}

const std::string& path_of(const CheckOptions& options, std::string_view role) {
  if (role == "configuration") return options.config;
  return role == "package" ? options.package : options.bootloader;
}

}  // namespace

int check_command(const CheckOptions& options, std::ostream& out, std::ostream& err) {
  auto summary = summarize_inputs(options.config, options.package, options.bootloader);
  if (!summary) {
    const InputProblem& problem = summary.error();
    const std::string& path = path_of(options, problem.role);
    // The run's own line, so a script can compare the two; then the file it concerns.
    err << fmt::format("Error: {:?}\nzel check: in the {} file {}\n", problem.error, problem.role,
                       zel_base::debug_quote(path));
    if (options.json) {
      const json failure = {{"error",
                             {{"role", problem.role},
                              {"path", path},
                              {"display", problem.error.display()},
                              {"debug", problem.error.debug()}}}};
      out << failure.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
    }
    return reset_memory::EXIT_ERROR;
  }
  if (options.json) {
    out << as_json(options, *summary).dump(2, ' ', false, json::error_handler_t::replace) << '\n';
  } else {
    print_text(options, *summary, out);
  }
  return reset_memory::EXIT_OK;
}

}  // namespace zel
