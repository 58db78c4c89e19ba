#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace zel_driver {

// The kernel requests by the names traces and fault switches give them.
struct NamedRequest {
  std::string_view name;  // "attach", "set-id", "mailbox", ...
  unsigned long number;
};

std::span<const NamedRequest> named_requests();
std::optional<std::string_view> request_name(unsigned long number);
std::optional<unsigned long> request_number(std::string_view name);

}  // namespace zel_driver
