#include "reset_memory/duration_form.hpp"

#include <cstdint>

#include <fmt/format.h>

namespace reset_memory {
namespace {

std::string whole_and_fraction(std::uint64_t nanoseconds, std::uint64_t unit, int digits,
                               const char* suffix) {
  const std::uint64_t whole = nanoseconds / unit;
  const std::uint64_t remainder = nanoseconds % unit;
  if (remainder == 0) return fmt::format("{}{}", whole, suffix);
  std::string fraction = fmt::format("{:0{}}", remainder, digits);
  fraction.erase(fraction.find_last_not_of('0') + 1);
  return fmt::format("{}.{}{}", whole, fraction, suffix);
}

}  // namespace

std::string duration_form(std::chrono::nanoseconds duration) {
  // A monotonic clock never runs backwards; a negative span would be a clock fault, shown as 0.
  const std::uint64_t ns = duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
  if (ns >= 1'000'000'000) return whole_and_fraction(ns, 1'000'000'000, 9, "s");
  if (ns >= 1'000'000) return whole_and_fraction(ns, 1'000'000, 6, "ms");
  if (ns >= 1'000) return whole_and_fraction(ns, 1'000, 3, "\u00b5s");
  return fmt::format("{}ns", ns);
}

}  // namespace reset_memory
