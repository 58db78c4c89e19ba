#include "zel_sim/tile_memory.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "byte_fill.hpp"
#include "huge_page_memory.hpp"
#include "zel_base/little_endian.hpp"

namespace zel_sim {

namespace {

[[noreturn]] void simulator_fault(const char* what) {
  std::fprintf(stderr, "zel_sim: %s\n", what);
  std::abort();
}

// Address space only: tile pages come in as the tiles are written.
std::byte* reserve_tile_pages(std::size_t bytes) {
  std::byte* pages = map_huge_page_aligned(bytes, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE);
  if (pages == nullptr) simulator_fault("cannot reserve tile memory");
  return pages;
}

}  // namespace

TileMemory::TileMemory(std::uint32_t tile_count)
    : tile_count_(tile_count),
      page_of_(std::size_t{tile_count} * PAGES_PER_TILE),
      row_in_use_(PAGES_PER_TILE, false),
      reserved_pages_((std::size_t{tile_count} + 1) * PAGES_PER_TILE),
      pages_(reserve_tile_pages(reserved_pages_ * PAGE_SIZE)) {}

TileMemory::~TileMemory() { ::munmap(pages_, reserved_pages_ * PAGE_SIZE); }

bool TileMemory::in_window(std::uint32_t address, std::uint32_t size) {
  return address >= TILE_MEMORY_START && address <= TILE_MEMORY_END &&
         size <= TILE_MEMORY_END - address;
}

void TileMemory::check(std::uint32_t tile, std::uint32_t address, std::uint32_t size) const {
  if (tile >= tile_count_ || !in_window(address, size)) {
    // The device models check what the host sends before they touch memory; getting here is
    // a fault of the simulator itself.
    std::fprintf(stderr, "zel_sim: tile memory access outside tile %u's window: 0x%x+%u\n", tile,
                 address, size);
    std::abort();
  }
}

TileMemory::PageId TileMemory::new_page() {
  PageId page;
  if (!free_pages_.empty()) {
    page = free_pages_.back();
    free_pages_.pop_back();
    std::memset(page_data(page), 0, PAGE_SIZE);
  } else if (used_pages_ < reserved_pages_) {
    page = static_cast<PageId>(++used_pages_);  // never touched: the system's zeros
    holders_.push_back(0);
  } else {
    simulator_fault("tile memory reservation exhausted");
  }
  holders_[page - 1] = 1;
  return page;
}

void TileMemory::release(PageId page) {
  if (page != 0 && --holders_[page - 1] == 0) free_pages_.push_back(page);
}

std::byte* TileMemory::writable(std::uint32_t tile, std::uint32_t page_index) {
  row_in_use_[page_index] = true;
  PageId& page = entry(tile, page_index);
  if (page == 0) {
    page = new_page();
  } else if (holders_[page - 1] > 1) {
    const PageId shared = page;
    page = new_page();  // copy on write: other tiles keep the shared one
    std::memcpy(page_data(page), page_data(shared), PAGE_SIZE);
    release(shared);
  }
  return page_data(page);
}

std::vector<std::byte> TileMemory::read_bytes(std::uint32_t tile, std::uint32_t address,
                                              std::uint32_t size) const {
  check(tile, address, size);
  std::vector<std::byte> bytes(size, std::byte{0});
  std::uint32_t done = 0;
  while (done < size) {
    const std::uint32_t offset = address + done - TILE_MEMORY_START;
    const std::uint32_t in_page = offset % PAGE_SIZE;
    const std::uint32_t chunk = std::min(size - done, PAGE_SIZE - in_page);
    if (const PageId page = entry(tile, offset / PAGE_SIZE); page != 0) {
      std::memcpy(bytes.data() + done, page_data(page) + in_page, chunk);
    }
    done += chunk;
  }
  return bytes;
}

void TileMemory::write_bytes(std::uint32_t tile, std::uint32_t address,
                             std::span<const std::byte> bytes) {
  check(tile, address, static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size(), UINT32_MAX)));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::uint32_t offset = address + static_cast<std::uint32_t>(done) - TILE_MEMORY_START;
    const std::uint32_t in_page = offset % PAGE_SIZE;
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, PAGE_SIZE - in_page);
    const std::span<const std::byte> piece = bytes.subspan(done, chunk);
    // Zeros over an absent page change nothing; keep the memory sparse. (std::copy_n rather
    // than memcpy: the compiler expands a memcpy it knows to be at most a page into
    // `rep movsq`, at about half the speed of the C library's copy.)
    if (entry(tile, offset / PAGE_SIZE) != 0 || !all_bytes(piece, std::byte{0})) {
      std::copy_n(piece.data(), chunk, writable(tile, offset / PAGE_SIZE) + in_page);
    }
    done += chunk;
  }
}

std::uint32_t TileMemory::read_word(std::uint32_t tile, std::uint32_t address) const {
  return *zel_base::load_u32_le(read_bytes(tile, address, 4), 0);
}

void TileMemory::write_word(std::uint32_t tile, std::uint32_t address, std::uint32_t value) {
  std::array<std::byte, 4> bytes;
  zel_base::store_u32_le(bytes, 0, value);
  write_bytes(tile, address, bytes);
}

void TileMemory::clear() {
  initialize(tile_count_, {});
  row_in_use_.assign(row_in_use_.size(), false);
}

void TileMemory::initialize(std::uint32_t tile_count, std::span<const std::byte> prefix) {
  tile_count = std::min(tile_count, tile_count_);
  for (std::uint32_t index = 0; index < PAGES_PER_TILE; ++index) {
    if (!row_in_use_[index]) continue;
    for (std::uint32_t tile = 0; tile < tile_count; ++tile) {
      release(std::exchange(entry(tile, index), 0));
    }
  }
  // The prefix pages are built once and shared by every tile until a tile writes to them.
  for (std::size_t done = 0; done < prefix.size(); done += PAGE_SIZE) {
    const auto piece = prefix.subspan(done, std::min<std::size_t>(PAGE_SIZE, prefix.size() - done));
    if (tile_count == 0 || all_bytes(piece, std::byte{0})) continue;
    const PageId page = new_page();
    std::memcpy(page_data(page), piece.data(), piece.size());
    holders_[page - 1] = tile_count;
    const auto index = static_cast<std::uint32_t>(done / PAGE_SIZE);
    row_in_use_[index] = true;
    for (std::uint32_t tile = 0; tile < tile_count; ++tile) entry(tile, index) = page;
  }
}

}  // namespace zel_sim
