#include "tile_word_reads.hpp"

#include <fmt/format.h>

#include "zel_driver/autoloader.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/tile_debug.hpp"

namespace zel {
namespace {

using namespace zel_driver;

struct DebugRegister {
  std::uint32_t tile, index;
};

// The tile and register of a debug-window offset; none outside the windows.
std::optional<DebugRegister> debug_register(std::uint32_t offset) {
  if (offset < TILE_DEBUG_BASE) return std::nullopt;
  const std::uint32_t tile = (offset - TILE_DEBUG_BASE) / TILE_DEBUG_STRIDE;
  if (tile >= AUTOLOADER_MAX_TILES) return std::nullopt;
  return DebugRegister{tile, (offset - TILE_DEBUG_BASE) % TILE_DEBUG_STRIDE / 4};
}

}  // namespace

void TileWordReads::saw(const TracedCall& call) {
  const auto* store = std::get_if<traced::Store>(&call);
  if (store == nullptr || !store->offset) return;
  const auto at = debug_register(*store->offset);
  if (!at) return;
  Tile& tile = tiles_[at->tile];
  if (at->index == TILE_DEBUG_DATA) {
    tile.data = store->value;
    tile.word_at.reset();
  } else if (at->index == TILE_DEBUG_INSTRUCTION) {
    const std::uint32_t instruction = store->value;
    if (instruction == tdi_instruction::get_debug_data_m(1)) tile.m1 = tile.data;
    // The word stays in the data register's reach until another instruction replaces it.
    if (instruction == tdi_instruction::TDI_LOAD_WORD) {
      tile.word_at = tile.m1;
    } else if (instruction != *tdi_instruction::put_debug_data_m(0)) {
      tile.word_at.reset();
    }
  }
}

std::string TileWordReads::what_loads(std::uint32_t offset) const {
  const auto at = debug_register(offset);
  if (!at) return fmt::format("offset 0x{:x}", offset);
  const auto tile = tiles_.find(at->tile);
  if (at->index == TILE_DEBUG_DATA && tile != tiles_.end() && tile->second.word_at) {
    return fmt::format("tile {} address 0x{:x}", at->tile, *tile->second.word_at);
  }
  return fmt::format("tile {} register {}", at->tile, at->index);
}

}  // namespace zel
