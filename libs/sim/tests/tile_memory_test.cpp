#include "zel_sim/tile_memory.hpp"

#include <gtest/gtest.h>

namespace zel_sim {
namespace {

TEST(TileMemory, UntouchedWordsReadZeroAndWrittenWordsStayPerTile) {
  TileMemory memory(1472);
  EXPECT_EQ(memory.read_word(1471, 0xe7ffc), 0u);
  memory.write_word(0, 0x4c000, 0x7e007e00);
  memory.write_word(1471, 0xe7ffc, 0x01020304);
  EXPECT_EQ(memory.read_word(0, 0x4c000), 0x7e007e00u);
  EXPECT_EQ(memory.read_word(1, 0x4c000), 0u);
  EXPECT_EQ(memory.read_bytes(1471, 0xe7ffc, 4),
            (std::vector<std::byte>{std::byte{4}, std::byte{3}, std::byte{2}, std::byte{1}}));
  EXPECT_EQ(memory.distinct_pages(), 2u);
}

TEST(TileMemory, WritesAcrossPageBoundaries) {
  TileMemory memory(2);
  std::vector<std::byte> bytes(6000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::byte(i * 7 + 1);
  memory.write_bytes(1, 0x4c010, bytes);
  EXPECT_EQ(memory.read_bytes(1, 0x4c010, 6000), bytes);
  EXPECT_EQ(memory.read_word(1, 0x4c00c), 0u);
  EXPECT_EQ(memory.distinct_pages(), 2u);
  memory.write_bytes(0, 0x50000, std::vector<std::byte>(8192));  // zeros allocate nothing
  EXPECT_EQ(memory.distinct_pages(), 2u);
}

TEST(TileMemory, InitializeLeavesThePrefixAndZeroOnTheRangeOnly) {
  TileMemory memory(2048);
  memory.write_word(3, 0x80000, 0xdead);
  memory.write_word(2047, 0x80000, 0xbeef);
  std::vector<std::byte> prefix(4096, std::byte{0xab});
  memory.initialize(1472, prefix);
  EXPECT_EQ(memory.read_word(3, 0x80000), 0u);
  EXPECT_EQ(memory.read_word(1471, 0x4c000), 0xababababu);
  EXPECT_EQ(memory.read_word(1471, 0x4d000), 0u);
  EXPECT_EQ(memory.read_word(2047, 0x80000), 0xbeefu);  // outside the range: untouched
  EXPECT_EQ(memory.read_word(1472, 0x4c000), 0u);
  EXPECT_EQ(memory.distinct_pages(), 2u);  // one prefix page shared by 1472 tiles

  memory.write_word(5, 0x4c000, 1);  // copy on write
  EXPECT_EQ(memory.read_word(5, 0x4c000), 1u);
  EXPECT_EQ(memory.read_word(6, 0x4c000), 0xababababu);

  memory.initialize(1472, std::vector<std::byte>(1024));  // a reset keeps no page
  EXPECT_EQ(memory.distinct_pages(), 1u);
  EXPECT_EQ(memory.read_word(5, 0x4c000), 0u);
}

TEST(TileMemory, WindowBounds) {
  EXPECT_TRUE(TileMemory::in_window(0x4c000, 0x9c000));
  EXPECT_TRUE(TileMemory::in_window(0xe7ffc, 4));
  EXPECT_TRUE(TileMemory::in_window(0xe8000, 0));
  EXPECT_FALSE(TileMemory::in_window(0xe7ffc, 8));
  EXPECT_FALSE(TileMemory::in_window(0x4bffc, 4));
  EXPECT_FALSE(TileMemory::in_window(0xfffffffc, 8));
}

}  // namespace
}  // namespace zel_sim
