#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zel_sim {

// The requests the simulated kernel serves, by the names its refusals, faults and commands
// use ("attach", "set-secondary-id", ...).

// The request's name, or its number in hexadecimal when the kernel serves no such request.
std::string request_name(unsigned long request);
std::optional<unsigned long> request_number(std::string_view name);

}  // namespace zel_sim
