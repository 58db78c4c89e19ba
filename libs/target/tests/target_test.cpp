#include "zel_target/target.hpp"

#include <gtest/gtest.h>

namespace zel_target {
namespace {

TEST(Target, ParsesOnlyTheExactName) {
  ASSERT_EQ(Target::from_str("zel21"), Target(Target::Zel21));
  for (std::string_view name :
       {"ZEL21", "Zel21", " zel21", "zel21 ", "zel21\n", "zel2", "zel211", ""}) {
    auto parsed = Target::from_str(name);
    ASSERT_FALSE(parsed.has_value()) << '"' << name << '"';
    EXPECT_EQ(parsed.error(), "unsupported ZEL target");
  }
}

TEST(Target, TileMemoryWindowOfZel21) {
  constexpr AddressRange window = Target(Target::Zel21).tile_memory();
  static_assert(window.start == 0x4c000 && window.end == 0xe8000 && window.size() == 0x9c000);
  EXPECT_TRUE(window.contains(0x4c000));
  EXPECT_TRUE(window.contains(0xe7ffc));
  EXPECT_FALSE(window.contains(0xe8000));
  EXPECT_FALSE(window.contains(0x4bffc));
}

}  // namespace
}  // namespace zel_target
