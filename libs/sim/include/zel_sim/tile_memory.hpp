#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace zel_sim {

inline constexpr std::uint32_t TILE_MEMORY_START = 0x4c000;
inline constexpr std::uint32_t TILE_MEMORY_END = 0xe8000;

// The tile memory (window 0x4c000..0xe8000) of every tile of the simulated device, sparse:
// a page exists only once something non-zero was put in it, and pages with the same
// contents after an initialization are shared until written. A 1472-tile device therefore
// costs what its tiles hold, not 1472 x 624 KiB.
class TileMemory {
 public:
  static constexpr std::uint32_t PAGE_SIZE = 4096;

  explicit TileMemory(std::uint32_t tile_count);

  std::uint32_t tile_count() const { return tile_count_; }
  // Whether [address, address + size) lies inside the window.
  static bool in_window(std::uint32_t address, std::uint32_t size);

  // Little-endian words and bytes. The tile must exist and the range lie inside the window.
  std::uint32_t read_word(std::uint32_t tile, std::uint32_t address) const;
  void write_word(std::uint32_t tile, std::uint32_t address, std::uint32_t value);
  std::vector<std::byte> read_bytes(std::uint32_t tile, std::uint32_t address,
                                    std::uint32_t size) const;
  void write_bytes(std::uint32_t tile, std::uint32_t address, std::span<const std::byte> bytes);

  // Tiles 0 to tile_count - 1 hold `prefix` at the window start and zero everywhere else.
  void initialize(std::uint32_t tile_count, std::span<const std::byte> prefix);

  // Pages held, each counted once however many tiles share it.
  std::size_t distinct_pages() const;

 private:
  using Page = std::array<std::byte, PAGE_SIZE>;
  static std::uint64_t key(std::uint32_t tile, std::uint32_t page_index) {
    return std::uint64_t{tile} << 32 | page_index;
  }
  void check(std::uint32_t tile, std::uint32_t address, std::uint32_t size) const;
  const Page* find(std::uint32_t tile, std::uint32_t page_index) const;
  // The page, private to this tile, created zero if absent.
  Page& writable(std::uint32_t tile, std::uint32_t page_index);

  std::uint32_t tile_count_;
  std::unordered_map<std::uint64_t, std::shared_ptr<Page>> pages_;
};

}  // namespace zel_sim
