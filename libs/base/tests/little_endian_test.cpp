#include "zel_base/little_endian.hpp"

#include <array>
#include <cstddef>
#include <optional>

#include <gtest/gtest.h>

namespace zel_base {
namespace {

TEST(LittleEndian, WordsOnlyWithinTheBytes) {
  const std::array<std::byte, 6> bytes{std::byte{1}, std::byte{2}, std::byte{3},
                                       std::byte{4}, std::byte{5}, std::byte{6}};
  EXPECT_EQ(load_u32_le(bytes, 0), 0x04030201u);
  EXPECT_EQ(load_u32_le(bytes, 2), 0x06050403u);
  EXPECT_EQ(load_u32_le(bytes, 3), std::nullopt);
  EXPECT_EQ(load_u32_le(bytes, 7), std::nullopt);

  std::array<std::byte, 6> stored{};
  store_u32_le(stored, 1, 0x0a0b0c0d);
  EXPECT_EQ(stored, (std::array<std::byte, 6>{std::byte{0}, std::byte{0xd}, std::byte{0xc},
                                              std::byte{0xb}, std::byte{0xa}, std::byte{0}}));
}

}  // namespace
}  // namespace zel_base
