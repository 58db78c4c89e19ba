#include "reset_memory/memory_check.hpp"

#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "reset_memory/configuration_restore.hpp"
#include "reset_memory/duration_form.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/registers.hpp"

namespace reset_memory {
namespace {

using zel_driver::Device;

[[nodiscard]] Step prepare_tile(const Device& device, std::uint16_t tile) {
  ZEL_TRY(device.write_tile_debug(tile, zel_driver::TILE_RUN_BREAK, TILE_DEBUG_SETUP));
  return {};
}

// The words of a one-word read: exactly one, unless the device library breaks its contract.
[[nodiscard]] zel_driver::Result<std::vector<std::uint32_t>> read_word(const Device& device,
                                                                       std::uint16_t tile,
                                                                       std::uint32_t address) {
  return device.read_tile_words_from_inactive_context(tile, WORKER_CONTEXT, address, 1);
}

[[nodiscard]] Step poison(const Device& device) {
  for (std::uint16_t tile : TILES_UNDER_TEST) {
    ZEL_TRY(prepare_tile(device, tile));
    for (std::uint32_t address : ADDRESSES_UNDER_TEST) {
      ZEL_TRY(device.write_tile_word_from_inactive_context(tile, WORKER_CONTEXT, address,
                                                           POISON_VALUE));
      ZEL_TRY_ASSIGN(auto read, read_word(device, tile, address));
      if (read.size() != 1 || read.front() != POISON_VALUE) {
        std::vector<FailingWord> words;
        for (std::uint32_t value : read) words.push_back({tile, address, value});
        return std::unexpected(CheckFailure{
            fmt::format("poison check failed: tile {} address 0x{:x} did not hold the poison "
                        "value after it was written",
                        tile, address),
            fmt::format("[{}]", fmt::join(read, ", ")), fmt::format("[{}]", POISON_VALUE),
            std::move(words)});
      }
    }
  }
  return {};
}

[[nodiscard]] Step timed_reset(const Device& device, std::ostream& out, Phases phases) {
  zel_base::Backend& clock = device.backend();
  const auto start = clock.now();
  auto reset = device.reset_tile_memory(RESET_TILE_COUNT);
  const auto elapsed = clock.now() - start;
  if (!reset) return std::unexpected(RunError(std::move(reset.error())));
  phases.reset_timed(elapsed);
  out << fmt::format("memory reset: {}\n", duration_form(elapsed)) << std::flush;
  return {};
}

// Reads all 25 words before deciding, so the report names every word that failed.
[[nodiscard]] Step readback(const Device& device) {
  std::vector<FailingWord> survivors;
  for (std::uint16_t tile : TILES_UNDER_TEST) {
    ZEL_TRY(prepare_tile(device, tile));
    for (std::uint32_t address : ADDRESSES_UNDER_TEST) {
      ZEL_TRY_ASSIGN(auto read, read_word(device, tile, address));
      // A word that cannot be read is an error, never counted; the first word is the one read.
      if (read.empty()) {
        return std::unexpected(RunError::text(
            fmt::format("tile {} address 0x{:x}: a one-word read gave no word", tile, address)));
      }
      const std::uint32_t word = read.front();
      if (word != 0) survivors.push_back({tile, address, word});
    }
  }
  if (!survivors.empty()) {
    std::vector<std::string> shown;
    for (const FailingWord& word : survivors) {
      shown.push_back(
          fmt::format("tile {} address 0x{:x} reads 0x{:x}", word.tile, word.address, word.value));
    }
    return std::unexpected(CheckFailure{
        fmt::format("readback check failed: {} of {} poisoned words not zero after the reset: {}",
                    survivors.size(), TILES_UNDER_TEST.size() * ADDRESSES_UNDER_TEST.size(),
                    fmt::join(shown, "; ")),
        std::to_string(survivors.size()), "0", std::move(survivors)});
  }
  return {};
}

}  // namespace

[[nodiscard]] Step poison_reset_readback(const Device& device, const std::string& config_path,
                                         std::ostream& out, Phases phases) {
  phases("poison");
  ZEL_TRY(poison(device));
  phases("restore");
  ZEL_TRY(restore_configuration(device, config_path));
  phases("reset");
  ZEL_TRY(timed_reset(device, out, phases));
  phases("readback");
  ZEL_TRY(readback(device));
  out << "poison/reset/readback PASS\n" << std::flush;
  return {};
}

}  // namespace reset_memory
