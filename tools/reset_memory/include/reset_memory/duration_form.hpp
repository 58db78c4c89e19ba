#pragma once

#include <chrono>
#include <string>

namespace reset_memory {

// A duration with its unit chosen by size: "2s", "1.5s", "12.345678ms", "3µs", "999ns".
// Whole units, then a point and the remainder's digits (9 for s, 6 for ms, 3 for µs) with
// trailing zeros removed when the remainder is not zero.
std::string duration_form(std::chrono::nanoseconds duration);

}  // namespace reset_memory
