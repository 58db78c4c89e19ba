#pragma once

// Included ahead of every C++ file when clang builds the project (the fuzz build): it bridges
// two gaps between clang 16 and the headers of GCC's standard library and of Cap'n Proto.

// GCC's standard library offers std::expected only to a compiler that advertises the C++20
// concepts level. Clang 16 implements what <expected> relies on (conditionally trivial
// special members) but still advertises the earlier level.
#undef __cpp_concepts
#define __cpp_concepts 202002L

// Cap'n Proto compares C strings with kj strings through reversed C++20 comparison candidates,
// which clang 16 rightly leaves out for a type that also declares operator!=. These are the
// overloads kj itself declares for compilers before C++20.
#include <kj/string.h>

namespace kj {
inline bool operator==(const char* a, const StringPtr& b) { return b == StringPtr(a); }
inline bool operator!=(const char* a, const StringPtr& b) { return b != StringPtr(a); }
}  // namespace kj
