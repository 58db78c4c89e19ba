#include "zel_base/utf8.hpp"

#include <optional>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

namespace zel_base {
namespace {

struct Utf8Case {
  std::string_view bytes;
  std::size_t valid_up_to;
  std::optional<std::uint8_t> error_len;
};

TEST(Utf8, ReportsTheMaximalInvalidSubpart) {
  const Utf8Case cases[] = {
      {"abc\xff", 3, 1},
      {"\xe2\x82", 0, std::nullopt},  // cut short at the end
      {"ab\xe2\x82", 2, std::nullopt},
      {"\xe2\x82x", 0, 2},         // third byte is not a continuation
      {"\xe0\x80\x80", 0, 1},      // overlong three-byte form
      {"\xed\xa0\x80", 0, 1},      // surrogate
      {"\xf4\x90\x80\x80", 0, 1},  // above U+10FFFF
      {"\xf0\x9f\x98", 0, std::nullopt},
      {"\xf0\x9f\x98x", 0, 3},
      {"\xc0\xaf", 0, 1},                          // C0 never starts a sequence
      {"\x80", 0, 1},                              // lone continuation
      {"0123456789abcdef\xc3", 16, std::nullopt},  // after the eight-byte fast path
  };
  for (const Utf8Case& c : cases) {
    auto result = validate_utf8(c.bytes);
    ASSERT_FALSE(result.has_value()) << fmt::format("{:?}", fmt::join(c.bytes, " "));
    EXPECT_EQ(result.error(), Utf8Error(c.valid_up_to, c.error_len));
  }
  for (std::string_view valid : {"", "plain ascii text, longer than eight", "\xc3\xa9",
                                 "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(validate_utf8(valid).has_value());
  }
}

}  // namespace
}  // namespace zel_base
