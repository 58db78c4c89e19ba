#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace zel_sim {

// Whether every byte of `bytes` is `fill`, tested a word at a time and decided a block at a
// time, so the compiler can vectorize the test. For short runs: frame trailers and payloads.
inline bool all_bytes_by_word(std::span<const std::byte> bytes, std::byte fill) {
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

// Whether every byte of `bytes` is `fill`. Runs of a page and more (transport pages, the
// whole transport at the execute sentinel) are compared against a page of the fill: the C
// library's comparison uses the widest vectors the machine has, about 1.5 times as fast.
inline bool all_bytes(std::span<const std::byte> bytes, std::byte fill) {
  constexpr std::size_t BLOCK = 4096;
  if (bytes.size() < BLOCK) return all_bytes_by_word(bytes, fill);
  std::array<std::byte, BLOCK> block;
  block.fill(fill);
  std::size_t done = 0;
  for (; bytes.size() - done >= BLOCK; done += BLOCK) {
    if (std::memcmp(bytes.data() + done, block.data(), BLOCK) != 0) return false;
  }
  return std::memcmp(bytes.data() + done, block.data(), bytes.size() - done) == 0;
}

}  // namespace zel_sim
