#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace zel_sim {

// Fresh memory of `bytes`, unpopulated, mapped with `flags` and starting on a huge-page
// boundary, asking for huge pages: pages touched from the start fill whole huge pages, each
// one fault, where the system offers them (without, it is only slower). Null when the
// system refuses, as for no bytes at all; errno says why.
inline std::byte* map_huge_page_aligned(std::size_t bytes, int flags) {
  constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
  // The padding alone would map, and trimming it would leave nothing behind the address.
  if (bytes == 0) {
    errno = EINVAL;
    return nullptr;
  }
  void* reserved = ::mmap(nullptr, bytes + HUGE_PAGE, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (reserved == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(reserved);
  const std::uintptr_t aligned = (start + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  if (aligned != start) ::munmap(reserved, aligned - start);
  if (const std::size_t tail = start + HUGE_PAGE - aligned; tail != 0) {
    ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  }
  ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<std::byte*>(aligned);
}

}  // namespace zel_sim
