#include "zel_package/segment_data.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

namespace zel_package {
namespace {

struct Taken {
  std::size_t at;  // where the source starts in the block; OUTSIDE for a source of its own
  std::size_t size;
};
constexpr std::size_t OUTSIDE = SIZE_MAX;

// The data of a message's segments, however they lie in the block, reads back as their
// sources held them once settled, and outlives the arena and the block's other owners.
TEST(SegmentArena, SettledDataHoldsWhatItWasTakenFrom) {
  const struct {
    const char* name;
    std::vector<Taken> taken;
  } cases[] = {
      {"in order, after the message's other words", {{8, 5}, {16, 3}, {19, 4}}},
      {"out of order", {{16, 5}, {8, 5}}},
      {"sharing their bytes", {{8, 6}, {8, 6}, {10, 6}}},
      {"overlapping their own place", {{2, 6}}},
      {"from outside the block", {{8, 4}, {OUTSIDE, 6}, {20, 4}}},
      {"more than the block holds", {{8, 20}, {0, 20}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    constexpr std::size_t CAPACITY = 32;
    std::vector<std::byte> elsewhere(6, std::byte{0xee});
    std::vector<SegmentData> data;
    std::vector<std::vector<std::byte>> expected;
    {
      std::shared_ptr<std::byte> block(new std::byte[CAPACITY], std::default_delete<std::byte[]>());
      for (std::size_t i = 0; i < CAPACITY; ++i) block.get()[i] = std::byte(i + 1);
      SegmentArena arena(block, CAPACITY);
      for (const Taken& taken : c.taken) {
        const std::byte* from = taken.at == OUTSIDE ? elsewhere.data() : block.get() + taken.at;
        expected.emplace_back(from, from + taken.size);
        data.push_back(arena.take({from, taken.size}));
      }
      arena.settle();
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
      EXPECT_EQ(std::vector<std::byte>(data[i].begin(), data[i].end()), expected[i]) << i;
    }
  }
}

// Once settled, the data sits at the front of the block and the block's whole pages after it
// are given back: the message they held is gone.
TEST(SegmentArena, GivesBackTheBlockAfterTheData) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t capacity = 4 * page;
  void* memory =
      ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  std::shared_ptr<std::byte> block(static_cast<std::byte*>(memory),
                                   [capacity](std::byte* first) { ::munmap(first, capacity); });
  std::memset(block.get(), 0xab, capacity);
  SegmentArena arena(block, capacity);
  const SegmentData data = arena.take({block.get() + 2 * page, 10});
  arena.settle();

  EXPECT_EQ(data.data(), block.get());
  EXPECT_EQ(data, SegmentData(std::vector<std::byte>(10, std::byte{0xab})));
  EXPECT_EQ(block.get()[page - 1], std::byte{0xab}) << "the first page holds the data";
  for (std::size_t at = page; at < capacity; at += page / 2) {
    EXPECT_EQ(block.get()[at], std::byte{0}) << "byte " << at;
  }
}

}  // namespace
}  // namespace zel_package
