#pragma once

#include <string_view>

namespace zel_driver {

// The target of every event this library emits.
inline constexpr std::string_view LOG_TARGET = "zel_driver";

}  // namespace zel_driver
