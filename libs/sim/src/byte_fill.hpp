#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace zel_sim {

// Whether every byte of `bytes` is `fill`. Tested a word at a time and decided a block at a
// time, so the compiler can vectorize the test: the simulator runs it over whole transports
// and tile-memory pages.
inline bool all_bytes(std::span<const std::byte> bytes, std::byte fill) {
  constexpr std::size_t BLOCK = 256;
  constexpr std::size_t WORD = sizeof(std::uint64_t);
  const std::uint64_t pattern = 0x0101010101010101u * std::to_integer<std::uint64_t>(fill);
  std::size_t done = 0;
  while (bytes.size() - done >= WORD) {
    const std::size_t block = std::min(BLOCK, (bytes.size() - done) / WORD * WORD);
    std::uint64_t differs = 0;
    for (std::size_t at = done; at < done + block; at += WORD) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + at, WORD);
      differs |= word ^ pattern;
    }
    if (differs != 0) return false;
    done += block;
  }
  for (; done < bytes.size(); ++done) {
    if (bytes[done] != fill) return false;
  }
  return true;
}

}  // namespace zel_sim
