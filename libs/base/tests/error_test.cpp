#include "zel_base/error.hpp"

#include <cerrno>

#include <gtest/gtest.h>

#include "zel_base/os_error.hpp"

namespace zel_base {
namespace {

TEST(DebugQuote, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(debug_quote("plain"), "\"plain\"");
  EXPECT_EQ(debug_quote(std::string_view("a\"b\\c\n\r\t\0d\x01\x7f", 12)),
            "\"a\\\"b\\\\c\\n\\r\\t\\0d\\u{1}\\u{7f}\"");
}

TEST(OsError, DisplayAndDebugForms) {
  OsError not_found(ENOENT);
  EXPECT_EQ(not_found.display(), "No such file or directory (os error 2)");
  EXPECT_EQ(not_found.debug(),
            "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  struct Case {
    int code;
    std::string_view kind;
  };
  for (auto [code, kind] : {Case{EACCES, "PermissionDenied"}, Case{EPERM, "PermissionDenied"},
                            Case{ENOTTY, "Uncategorized"}, Case{EOPNOTSUPP, "Unsupported"},
                            Case{ENAMETOOLONG, "InvalidFilename"}, Case{EBUSY, "ResourceBusy"},
                            Case{EINVAL, "InvalidInput"}, Case{12345, "Uncategorized"}}) {
    EXPECT_EQ(OsError(code).kind(), kind) << code;
  }
}

}  // namespace
}  // namespace zel_base
