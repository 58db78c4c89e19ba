#include "reset_memory/memory_check.hpp"

#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "reset_memory/configuration_restore.hpp"
#include "reset_memory/duration_form.hpp"
#include "zel_driver/registers.hpp"

namespace reset_memory {
namespace {

using zel_driver::Device;

std::uint32_t run_break_offset(std::uint16_t tile) {
  return zel_driver::TILE_DEBUG_BASE + zel_driver::TILE_DEBUG_STRIDE * tile +
         4 * zel_driver::TILE_RUN_BREAK;
}

Step prepare_tile(const Device& device, std::uint16_t tile) {
  if (auto written = device.write_config(run_break_offset(tile), TILE_DEBUG_SETUP); !written) {
    return std::unexpected(RunError(std::move(written.error())));
  }
  return {};
}

zel_driver::Result<std::vector<std::uint32_t>> read_word(const Device& device, std::uint16_t tile,
                                                         std::uint32_t address) {
  return device.read_tile_words_from_inactive_context(tile, WORKER_CONTEXT, address, 1);
}

Step poison(const Device& device) {
  const std::vector<std::uint32_t> expected = {POISON_VALUE};
  for (std::uint16_t tile : TILES_UNDER_TEST) {
    if (auto prepared = prepare_tile(device, tile); !prepared) return prepared;
    for (std::uint32_t address : ADDRESSES_UNDER_TEST) {
      if (auto written = device.write_tile_word_from_inactive_context(tile, WORKER_CONTEXT, address,
                                                                      POISON_VALUE);
          !written) {
        return std::unexpected(RunError(std::move(written.error())));
      }
      auto read = read_word(device, tile, address);
      if (!read) return std::unexpected(RunError(std::move(read.error())));
      if (*read != expected) {
        return std::unexpected(CheckFailure{
            fmt::format("poison check failed: tile {} address 0x{:x} did not hold the poison "
                        "value after it was written",
                        tile, address),
            fmt::format("[{}]", fmt::join(*read, ", ")),
            fmt::format("[{}]", fmt::join(expected, ", "))});
      }
    }
  }
  return {};
}

Step timed_reset(const Device& device, std::ostream& out) {
  zel_base::Backend& clock = device.backend();
  const auto start = clock.now();
  auto reset = device.reset_tile_memory(RESET_TILE_COUNT);
  const auto elapsed = clock.now() - start;
  if (!reset) return std::unexpected(RunError(std::move(reset.error())));
  out << fmt::format("memory reset: {}\n", duration_form(elapsed)) << std::flush;
  return {};
}

// Reads all 25 words before deciding, so the report names every word that failed.
Step readback(const Device& device) {
  std::uint64_t failures = 0;
  std::vector<std::string> survivors;
  for (std::uint16_t tile : TILES_UNDER_TEST) {
    if (auto prepared = prepare_tile(device, tile); !prepared) return prepared;
    for (std::uint32_t address : ADDRESSES_UNDER_TEST) {
      auto read = read_word(device, tile, address);
      if (!read) return std::unexpected(RunError(std::move(read.error())));
      const std::uint32_t word = read->at(0);
      if (word != 0) {
        ++failures;
        survivors.push_back(
            fmt::format("tile {} address 0x{:x} reads 0x{:x}", tile, address, word));
      }
    }
  }
  if (failures != 0) {
    return std::unexpected(CheckFailure{
        fmt::format("readback check failed: {} of {} poisoned words not zero after the reset: {}",
                    failures, TILES_UNDER_TEST.size() * ADDRESSES_UNDER_TEST.size(),
                    fmt::join(survivors, "; ")),
        std::to_string(failures), "0"});
  }
  return {};
}

}  // namespace

Step poison_reset_readback(const Device& device, const std::string& config_path,
                           std::ostream& out) {
  if (auto poisoned = poison(device); !poisoned) return poisoned;
  if (auto restored = restore_configuration(device, config_path); !restored) return restored;
  if (auto reset = timed_reset(device, out); !reset) return reset;
  if (auto read = readback(device); !read) return read;
  out << "poison/reset/readback PASS\n" << std::flush;
  return {};
}

}  // namespace reset_memory
