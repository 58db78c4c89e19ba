#include "zel_package/package_error.hpp"

#include <cerrno>
#include <optional>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace zel_package {
namespace {

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
