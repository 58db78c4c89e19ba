#pragma once

#include <string_view>

namespace zel_package {

// The target of every event this library emits.
inline constexpr std::string_view LOG_TARGET = "zel_package";

}  // namespace zel_package
