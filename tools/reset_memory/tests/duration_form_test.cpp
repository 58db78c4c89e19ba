#include "reset_memory/duration_form.hpp"

#include <gtest/gtest.h>

namespace reset_memory {
namespace {

TEST(DurationForm, UnitFollowsSizeAndTrailingZerosGo) {
  using std::chrono::nanoseconds;
  struct Case {
    std::int64_t ns;
    const char* text;
  };
  for (auto [ns, text] : {
           Case{2'000'000'000, "2s"},
           Case{1'500'000'000, "1.5s"},
           Case{1'000'000'001, "1.000000001s"},
           Case{12'345'678, "12.345678ms"},
           Case{12'300'000, "12.3ms"},
           Case{1'000'000, "1ms"},
           Case{999'999, "999.999\u00b5s"},
           Case{1'500, "1.5\u00b5s"},
           Case{1'000, "1\u00b5s"},
           Case{999, "999ns"},
           Case{0, "0ns"},
           Case{3'723'000'000'000, "3723s"},
       }) {
    EXPECT_EQ(duration_form(nanoseconds(ns)), text) << ns;
  }
}

}  // namespace
}  // namespace reset_memory
