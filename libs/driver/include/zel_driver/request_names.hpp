#pragma once

#include <optional>
#include <string_view>

namespace zel_driver {

// The name a trace gives a kernel request ("attach", "set-id", "mailbox", ...), or none for a
// number that is no request of the kernel driver.
std::optional<std::string_view> request_name(unsigned long number);

}  // namespace zel_driver
