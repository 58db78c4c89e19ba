#pragma once

#include <cstdio>

namespace zel_fuzz {

// A wrong result is a finding just as a crash is: name the broken rule and stop right there,
// so libFuzzer keeps the input.
inline void check(bool holds, const char* rule) {
  if (holds) return;
  std::fprintf(stderr, "broken invariant: %s\n", rule);
  __builtin_trap();
}

}  // namespace zel_fuzz
