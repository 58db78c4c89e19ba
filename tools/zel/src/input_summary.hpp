#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "reset_memory/run_error.hpp"

namespace zel {

// What the three input files of a run hold, found by reading and checking them exactly as the
// run does (the same functions, in the same order), without a device.
struct InputSummary {
  struct Capture {
    std::uint32_t records = 0;
    std::uint64_t skipped_host_sync_writes = 0;
    std::optional<std::uint32_t> lowest_offset, highest_offset;  // of the writes replayed
  } capture;
  struct Package {
    std::string target;
    std::uint32_t schema_version = 0;
    std::string compiler_version;
    std::uint64_t tiles = 0;
    std::uint64_t segments = 0;
    std::uint64_t image_bytes_total = 0;    // of every tile's image as the loader builds it
    std::uint64_t image_bytes_largest = 0;  // before the loader pads short images
    std::uint64_t frames_fewest = 0, frames_most = 0;  // per tile
    std::uint64_t configuration_writes = 0;
    std::uint64_t profile_steps = 0;
  } package;
  struct Bootloader {
    unsigned elf_class = 0;
    bool big_endian = false;
    std::uint64_t segment_address = 0;
    std::uint64_t file_bytes = 0;
    std::uint64_t memory_bytes = 0;
  } bootloader;
};

// The first error a run would end with on the three files, and the file it concerns.
struct InputProblem {
  const char* role;  // "configuration", "package" or "bootloader"
  reset_memory::RunError error;
};

// The first problem the run would meet in these files, or what they hold. Besides the files'
// own checks, the configuration offsets of the capture and of the package's writes are checked
// as the run's writes check them.
[[nodiscard]] std::expected<InputSummary, InputProblem> summarize_inputs(
    const std::string& config_path, const std::string& package_path,
    const std::string& bootloader_path);

}  // namespace zel
