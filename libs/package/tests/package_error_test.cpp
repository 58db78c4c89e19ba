#include "zel_package/package_error.hpp"

#include <cerrno>
#include <optional>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "zel_package/utf8.hpp"

namespace zel_package {
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

TEST(PackageError, DisplayAndDebugFormsOfEveryVariant) {
  struct Case {
    PackageError error;
    std::string display;
    std::string debug;
  };
  const Case cases[] = {
      {CapnpError("Failed", "Message ends prematurely"),
       "Cap'n Proto error: Message ends prematurely",
       "Capnp(Exception { type: Failed, description: \"Message ends prematurely\" })"},
      {OsError(EIO), "I/O error: Input/output error (os error 5)",
       "Io(Os { code: 5, kind: Uncategorized, message: \"Input/output error\" })"},
      {Utf8Error(3, 1), "invalid UTF-8 text: invalid utf-8 sequence of 1 bytes from index 3",
       "Utf8(Utf8Error { valid_up_to: 3, error_len: Some(1) })"},
      {Utf8Error(0, std::nullopt),
       "invalid UTF-8 text: incomplete utf-8 byte sequence from index 0",
       "Utf8(Utf8Error { valid_up_to: 0, error_len: None })"},
      {NotInSchema(7),
       "unknown schema enum value: Enum value or union discriminant 7 was not present in the "
       "schema.",
       "SchemaEnum(NotInSchema(7))"},
      {PackageError::invalid("incompatible package header"),
       "invalid package: incompatible package header", "Invalid(\"incompatible package header\")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
    EXPECT_EQ(fmt::format("{} | {:?}", c.error, c.error), c.display + " | " + c.debug);
  }
}

TEST(PackageError, CauseIsTheWrappedErrorExceptForInvalid) {
  PackageError wrapped = NotInSchema(4);
  ASSERT_NE(wrapped.cause(), nullptr);
  EXPECT_EQ(wrapped.cause()->debug(), "NotInSchema(4)");
  EXPECT_EQ(wrapped.kind(), PackageError::Kind::SchemaEnum);
  EXPECT_EQ(PackageError::invalid("x").cause(), nullptr);
}

}  // namespace
}  // namespace zel_package
