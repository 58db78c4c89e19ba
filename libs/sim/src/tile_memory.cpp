#include "zel_sim/tile_memory.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "zel_base/little_endian.hpp"

namespace zel_sim {

TileMemory::TileMemory(std::uint32_t tile_count) : tile_count_(tile_count) {}

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

const TileMemory::Page* TileMemory::find(std::uint32_t tile, std::uint32_t page_index) const {
  auto found = pages_.find(key(tile, page_index));
  return found == pages_.end() ? nullptr : found->second.get();
}

TileMemory::Page& TileMemory::writable(std::uint32_t tile, std::uint32_t page_index) {
  std::shared_ptr<Page>& page = pages_[key(tile, page_index)];
  if (!page) {
    page = std::make_shared<Page>();
    page->fill(std::byte{0});
  } else if (page.use_count() > 1) {
    page = std::make_shared<Page>(*page);  // copy on write: other tiles keep the shared one
  }
  return *page;
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
    if (const Page* page = find(tile, offset / PAGE_SIZE)) {
      std::memcpy(bytes.data() + done, page->data() + in_page, chunk);
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
    const bool all_zero =
        std::all_of(piece.begin(), piece.end(), [](std::byte b) { return b == std::byte{0}; });
    // Zeros over an absent page change nothing; keep the memory sparse.
    if (!all_zero || find(tile, offset / PAGE_SIZE) != nullptr) {
      std::memcpy(writable(tile, offset / PAGE_SIZE).data() + in_page, piece.data(), chunk);
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

void TileMemory::initialize(std::uint32_t tile_count, std::span<const std::byte> prefix) {
  tile_count = std::min(tile_count, tile_count_);
  std::erase_if(pages_, [&](const auto& entry) { return (entry.first >> 32) < tile_count; });

  // The prefix pages are built once and shared by every tile until a tile writes to them.
  std::vector<std::shared_ptr<Page>> prefix_pages;
  for (std::size_t done = 0; done < prefix.size(); done += PAGE_SIZE) {
    const std::size_t chunk = std::min<std::size_t>(PAGE_SIZE, prefix.size() - done);
    auto page = std::make_shared<Page>();
    page->fill(std::byte{0});
    std::memcpy(page->data(), prefix.data() + done, chunk);
    const bool all_zero =
        std::all_of(page->begin(), page->end(), [](std::byte b) { return b == std::byte{0}; });
    prefix_pages.push_back(all_zero ? nullptr : std::move(page));
  }
  for (std::uint32_t tile = 0; tile < tile_count; ++tile) {
    for (std::uint32_t index = 0; index < prefix_pages.size(); ++index) {
      if (prefix_pages[index]) pages_[key(tile, index)] = prefix_pages[index];
    }
  }
}

std::size_t TileMemory::distinct_pages() const {
  std::unordered_set<const Page*> distinct;
  for (const auto& [key, page] : pages_) distinct.insert(page.get());
  return distinct.size();
}

}  // namespace zel_sim
