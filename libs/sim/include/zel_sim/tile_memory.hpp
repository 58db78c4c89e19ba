#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "zel_sim/zeroed_table.hpp"

namespace zel_sim {

inline constexpr std::uint32_t TILE_MEMORY_START = 0x4c000;
inline constexpr std::uint32_t TILE_MEMORY_END = 0xe8000;

// The tile memory (window 0x4c000..0xe8000) of every tile of the simulated device, sparse:
// a page exists only once something non-zero was put in it, and pages with the same
// contents after an initialization are shared until written. A 1472-tile device therefore
// costs what its tiles hold, not 1472 x 624 KiB. Pages are handed out in order from one
// reservation backed by huge pages where the system offers them, so what the tiles hold
// costs few page faults.
class TileMemory {
 public:
  static constexpr std::uint32_t PAGE_SIZE = 4096;

  explicit TileMemory(std::uint32_t tile_count);
  TileMemory(const TileMemory&) = delete;
  TileMemory& operator=(const TileMemory&) = delete;
  ~TileMemory();

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
  // Every tile is zero again, as when the memory was made; the pages stay reserved for reuse.
  void clear();

  // Pages held, each counted once however many tiles share it.
  std::size_t distinct_pages() const { return used_pages_ - free_pages_.size(); }

 private:
  static constexpr std::uint32_t PAGES_PER_TILE = (TILE_MEMORY_END - TILE_MEMORY_START) / PAGE_SIZE;
  // A page of the reservation, numbered from 1; 0 is no page (all zero).
  using PageId = std::uint32_t;

  void check(std::uint32_t tile, std::uint32_t address, std::uint32_t size) const;
  PageId& entry(std::uint32_t tile, std::uint32_t page_index) {
    return page_of_[std::size_t{page_index} * tile_count_ + tile];
  }
  PageId entry(std::uint32_t tile, std::uint32_t page_index) const {
    return page_of_[std::size_t{page_index} * tile_count_ + tile];
  }
  std::byte* page_data(PageId page) const { return pages_ + std::size_t{page - 1} * PAGE_SIZE; }
  // A page of zeros, held once.
  PageId new_page();
  void release(PageId page);
  // The page of `tile` at `page_index`, private to it, created zero if absent.
  std::byte* writable(std::uint32_t tile, std::uint32_t page_index);

  std::uint32_t tile_count_;
  // By page index, then tile: the page it holds. Only the rows of page indices in use cost
  // memory (a load writes the first few of every tile).
  ZeroedTable<PageId> page_of_;
  // By page index: whether some tile may hold a page there; the other rows are all zero.
  std::vector<bool> row_in_use_;
  // The reservation, of room for every page of every tile plus a prefix's pages.
  std::size_t reserved_pages_;
  std::byte* pages_;
  // Pages handed out so far, from the start of the reservation.
  std::size_t used_pages_ = 0;
  std::vector<PageId> free_pages_;
  // By page: how many tile pages hold it.
  std::vector<std::uint32_t> holders_;
};

}  // namespace zel_sim
