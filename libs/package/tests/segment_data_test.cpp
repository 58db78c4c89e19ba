#include "zel_package/segment_data.hpp"

#include <gtest/gtest.h>

namespace zel_package {
namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int value : values) out.push_back(std::byte(value));
  return out;
}

// Copies fill the arena in order, spill into memory of their own once it is full, and outlive it.
TEST(SegmentArena, CopiesOutliveTheArenaWhereverTheyLanded) {
  std::vector<SegmentData> copies;
  {
    SegmentArena arena(5);
    for (const auto& piece : {bytes({1, 2, 3}), bytes({4, 5}), bytes({6, 7}), bytes({})}) {
      copies.push_back(arena.copy(piece));
    }
    EXPECT_EQ(copies[1].data(), copies[0].data() + 3) << "one block, in order";
  }
  EXPECT_EQ(copies[0], SegmentData(bytes({1, 2, 3})));
  EXPECT_EQ(copies[1], SegmentData(bytes({4, 5})));
  EXPECT_EQ(copies[2], SegmentData(bytes({6, 7}))) << "past the block's end";
  EXPECT_TRUE(copies[3].empty());
  EXPECT_NE(copies[0], copies[1]);
}

}  // namespace
}  // namespace zel_package
