#include "zel_sim/sim_autoloader.hpp"

#include <fmt/format.h>

#include "zel_base/little_endian.hpp"
#include "zel_sim/protocol/autoloader_fields.hpp"
#include "zel_sim/protocol/host_timeouts.hpp"
#include "zel_sim/protocol/registers.hpp"

namespace zel_sim {

using namespace autoloader;
using reg::AUTOLOADER_CONTROL;
using reg::AUTOLOADER_DATA;
using reg::AUTOLOADER_ZONE;

namespace {

// Even the largest range is done before the host gives up waiting.
static_assert(SimAutoloader::PREFIX_LOAD_TIME < host_timeouts::AUTOLOADER);
static_assert(SimAutoloader::TILE_RANGE_SETUP_TIME +
                  SimAutoloader::TIME_PER_TILE * (LAST_TILE_MASK + 1) <
              host_timeouts::AUTOLOADER);

constexpr std::uint32_t MAX_PREFIX_WORDS = MAX_PREFIX / 4;

std::uint32_t load_pointer(std::size_t words) {
  return static_cast<std::uint32_t>(words - 1) & LOAD_POINTER_MASK;
}

std::vector<std::byte> little_endian_bytes(const std::vector<std::uint32_t>& words) {
  std::vector<std::byte> bytes(words.size() * 4);
  for (std::size_t i = 0; i < words.size(); ++i) zel_base::store_u32_le(bytes, 4 * i, words[i]);
  return bytes;
}

}  // namespace

bool SimAutoloader::owns(std::uint32_t offset) {
  return offset == AUTOLOADER_CONTROL || offset == AUTOLOADER_ZONE || offset == AUTOLOADER_DATA;
}

bool SimAutoloader::done(std::chrono::nanoseconds now) const {
  return done_at_ && now >= *done_at_;
}

std::uint32_t SimAutoloader::visible(std::uint32_t offset, std::uint32_t held,
                                     std::chrono::nanoseconds now) const {
  if (offset == AUTOLOADER_CONTROL && done(now)) return held & ~BUSY;
  return held;
}

std::uint32_t SimAutoloader::store(std::uint32_t offset, std::uint32_t value,
                                   std::chrono::nanoseconds now) {
  if (offset == AUTOLOADER_ZONE) {
    zone_ = value;
  } else if (offset == AUTOLOADER_DATA) {
    collect(value);
  } else if (value == 0) {
    // CONTROL 0 begins a sequence, whatever came before.
    phase_ = Phase::Collecting;
    words_.clear();
    done_at_.reset();
  } else {
    command(value, now);
  }
  return value;
}

void SimAutoloader::collect(std::uint32_t word) {
  if (phase_ == Phase::Refused) return;
  if (phase_ != Phase::Collecting) return refuse("data word outside a prefix load");
  if (words_.size() == MAX_PREFIX_WORDS) return refuse("more data words than the largest prefix");
  words_.push_back(word);
}

void SimAutoloader::command(std::uint32_t control, std::chrono::nanoseconds now) {
  if (phase_ == Phase::Refused) return;
  if ((control & BUSY) == 0) {
    return refuse(fmt::format("control 0x{:x} is not a command", control));
  }
  if ((control & FIRST_COMMAND) != 0 && phase_ == Phase::Collecting) {
    return load_prefix(control, now);
  }
  if ((control & FIRST_COMMAND) == 0 && phase_ == Phase::PrefixLoaded && done(now)) {
    return initialize_tiles(control, now);
  }
  refuse(fmt::format("command 0x{:x} out of order", control));
}

void SimAutoloader::load_prefix(std::uint32_t control, std::chrono::nanoseconds now) {
  const std::uint32_t size = zone_ & ~ZONE_BIT;
  if ((zone_ & ZONE_BIT) == 0 || size == 0 || size % PREFIX_UNIT != 0 || size > MAX_PREFIX) {
    return refuse(fmt::format("zone 0x{:x} is not a prefix size", zone_));
  }
  if (words_.size() != size / 4) {
    return refuse(fmt::format("{} data words for a {}-byte prefix", words_.size(), size));
  }
  const std::uint32_t expected = load_pointer(words_.size()) | FIRST_COMMAND | BUSY;
  if (control != expected) {
    return refuse(fmt::format("first command 0x{:x}, expected 0x{:x}", control, expected));
  }
  prefix_ = little_endian_bytes(words_);
  phase_ = Phase::PrefixLoaded;
  run_for(now, PREFIX_LOAD_TIME);
}

void SimAutoloader::initialize_tiles(std::uint32_t control, std::chrono::nanoseconds now) {
  const auto kib = static_cast<std::uint32_t>(prefix_.size() / PREFIX_UNIT);
  if (zone_ != (WINDOW_ZONE | kib)) {
    return refuse(fmt::format("zone 0x{:x}, expected 0x{:x}", zone_, WINDOW_ZONE | kib));
  }
  const std::uint32_t last_tile = control >> LAST_TILE_SHIFT & LAST_TILE_MASK;
  const std::uint32_t expected =
      last_tile << LAST_TILE_SHIFT | BUSY | load_pointer(prefix_.size() / 4);
  if (control != expected) {
    return refuse(fmt::format("second command 0x{:x}, expected 0x{:x}", control, expected));
  }
  const std::uint32_t tiles = last_tile + 1;
  if (tiles > tile_memory_.tile_count()) {
    return refuse(fmt::format("tiles 0 to {} beyond the device's {} tiles", last_tile,
                              tile_memory_.tile_count()));
  }
  phase_ = Phase::Idle;
  run_for(now, TILE_RANGE_SETUP_TIME + TIME_PER_TILE * tiles);
  // A stuck autoloader never gets the tiles done. A working one writes them at once: the
  // host, which waits out the busy bit, cannot tell.
  if (done_at_) write_tiles(tiles);
}

void SimAutoloader::write_tiles(std::uint32_t tiles) {
  std::vector<std::pair<TileWord, std::uint32_t>> survivors;
  for (const TileWord& word : faults_.tile_words_surviving_reset) {
    if (word.tile < tiles && TileMemory::in_window(word.address, 4)) {
      survivors.push_back({word, tile_memory_.read_word(word.tile, word.address)});
    }
  }
  tile_memory_.initialize(tiles, prefix_);
  // A word the initialization leaves as it was anyway did not survive anything.
  for (const auto& [word, value] : survivors) {
    if (tile_memory_.read_word(word.tile, word.address) == value) continue;
    tile_memory_.write_word(word.tile, word.address, value);
    ++firings_.tile_words_surviving_reset;
  }
  bootloader_.tiles_initialized(tiles, prefix_);
}

void SimAutoloader::run_for(std::chrono::nanoseconds now, std::chrono::nanoseconds duration) {
  if (faults_.autoloader_busy_forever) {
    ++firings_.autoloader_busy_forever;
    done_at_.reset();
  } else {
    done_at_ = now + duration;
  }
}

void SimAutoloader::refuse(std::string why) {
  refusals_.add("autoloader: " + why);
  phase_ = Phase::Refused;
  done_at_.reset();
}

}  // namespace zel_sim
