#include "zel_base/error.hpp"

#include <cerrno>

#include <gtest/gtest.h>

#include "zel_base/os_error.hpp"

namespace zel_base {
namespace {

TEST(DebugQuote, KeepsPrintableTextAndEscapesEverythingElse) {
  using namespace std::string_view_literals;
  const struct {
    std::string_view text;
    std::string_view quoted;
  } cases[] = {
      {"plain", R"("plain")"},
      {"a\"b\\c\n\r\t\0d\x01\x1b[2J\x7f"sv, R"("a\"b\\c\n\r\t\0d\u{1}\u{1b}[2J\u{7f}")"},
      // Printable text beyond ASCII stays whole: accents, symbols, other scripts, emoji.
      {"caf\xc3\xa9 \xe2\x82\xac \xe6\x97\xa5 \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xe6\x97\xa5 \xf0\x9f\x98\x80\""},
      // C1 controls as characters: U+0085 and U+009B (a terminal's CSI).
      {"\xc2\x85\xc2\x9b", R"("\u{85}\u{9b}")"},
      // Bytes that are no UTF-8: a lone C1 byte, a cut sequence, an overlong form, a surrogate.
      {"\x9b[31m", R"("\x9b[31m")"},
      {"ab\xe2\x82", R"("ab\xe2\x82")"},
      {"\xe2\x82x", R"("\xe2\x82x")"},
      {"\xc0\xaf\xed\xa0\x80", R"("\xc0\xaf\xed\xa0\x80")"},
      // The Cap'n Proto library's message for a text without its NUL quotes the raw byte.
      {"expected cptr[unboundedSize] == '\\0' [\x9b == \0]; Message contains text that is not "
       "NUL-terminated."sv,
       R"("expected cptr[unboundedSize] == '\\0' [\x9b == \0]; Message contains text that is not NUL-terminated.")"},
  };
  for (const auto& c : cases) EXPECT_EQ(debug_quote(c.text), c.quoted) << c.quoted;
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

// A trace names an error number; reading it back must give the number that was named.
TEST(OsError, NamesReadBackAsTheirNumbers) {
  for (const int code : {0, EPERM, EAGAIN, ENOTTY, EOPNOTSUPP, 133, 134, 5000, -1}) {
    const auto named = OsError::named(OsError(code).name());
    ASSERT_TRUE(named) << OsError(code).name();
    EXPECT_EQ(named->code(), code);
  }
  for (const std::string_view text : {"", "E", "EIO ", "eio", "E5", "E05", "E+300", "ENOSUCH"}) {
    EXPECT_FALSE(OsError::named(text)) << text;
  }
}

}  // namespace
}  // namespace zel_base
