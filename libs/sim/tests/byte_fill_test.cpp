#include "../src/byte_fill.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace zel_sim {
namespace {

// Sizes around the word, block and page steps of the test, with one byte changed at its
// start, middle and end: a byte the test skips is a frame or sentinel fault let through.
TEST(AllBytes, FindsAnyByteThatDiffersAtEverySize) {
  for (const std::size_t size : {1u, 7u, 8u, 9u, 255u, 256u, 257u, 4095u, 4096u, 4097u, 12293u}) {
    for (const std::byte fill : {std::byte{0x00}, std::byte{0xff}}) {
      std::vector<std::byte> bytes(size, fill);
      EXPECT_TRUE(all_bytes(bytes, fill)) << size;
      for (const std::size_t at : {std::size_t{0}, size / 2, size - 1}) {
        bytes[at] = fill ^ std::byte{0x01};
        EXPECT_FALSE(all_bytes(bytes, fill)) << size << " at " << at;
        bytes[at] = fill;
      }
    }
  }
  EXPECT_TRUE(all_bytes({}, std::byte{0xff}));
}

}  // namespace
}  // namespace zel_sim
