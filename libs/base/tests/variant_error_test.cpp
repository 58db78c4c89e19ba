#include "zel_base/variant_error.hpp"

#include <cerrno>

#include <gtest/gtest.h>

#include "zel_base/os_error.hpp"

namespace zel_base {
namespace {

// Wraps an OS error as the package library does: Io(...), "I/O error: ...".
class Wrapping final : public VariantError<Wrapping> {
 public:
  using Variant = std::variant<OsError>;
  static constexpr auto FORMS = std::to_array<VariantForm>({{"Io", "I/O error"}});

  explicit Wrapping(OsError error) : variant_(error) {}
  const Variant& variant() const { return variant_; }

 private:
  Variant variant_;
};

// Each variant is the whole error, as the tool's own errors are: a text, or another error.
class Whole final : public VariantError<Whole> {
 public:
  struct Text {
    std::string text;
  };
  using Variant = std::variant<Text, Wrapping>;
  static constexpr std::array<VariantForm, 2> FORMS = {};

  Whole(Text text) : variant_(std::move(text)) {}
  Whole(Wrapping error) : variant_(error) {}
  const Variant& variant() const { return variant_; }

 private:
  Variant variant_;
};

TEST(VariantError, WrapsOrShowsAloneAndNamesTheCauseOfWhatItShowsAlone) {
  const std::string os_debug =
      "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }";
  struct Case {
    const Error& error;
    std::string display;
    std::string debug;
    std::string cause;  // debug form of the cause, empty for none
  };
  const Wrapping wrapping(OsError{ENOENT});
  const Whole text(Whole::Text{"no \"file\"\n"});
  const Whole whole(wrapping);
  const Case cases[] = {
      {wrapping, "I/O error: No such file or directory (os error 2)", "Io(" + os_debug + ")",
       os_debug},
      {text, "no \"file\"\n", R"("no \"file\"\n")", ""},
      // Shown alone, the wrapping is the error itself: its cause is the wrapping's cause.
      {whole, "I/O error: No such file or directory (os error 2)", "Io(" + os_debug + ")",
       os_debug},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
    const Error* cause = c.error.cause();
    EXPECT_EQ(cause ? cause->debug() : std::string(), c.cause) << c.debug;
  }
}

}  // namespace
}  // namespace zel_base
