#include "zel_sim/request_names.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "zel_sim/protocol/kernel_interface.hpp"

namespace zel_sim {
namespace {

struct NamedRequest {
  std::string_view name;
  unsigned long number;
};

constexpr NamedRequest REQUESTS[] = {
    {"attach", kernel::ATTACH},
    {"attach-buffer", kernel::ATTACH_BUFFER},
    {"detach-buffer", kernel::DETACH_BUFFER},
    {"set-id", kernel::SET_ID},
    {"mailbox", kernel::MAILBOX},
    {"stop-monitoring", kernel::STOP_MONITORING},
    {"start-monitoring", kernel::START_MONITORING},
    {"accumulate-errors", kernel::ACCUMULATE_ERRORS},
    {"notify-reset", kernel::NOTIFY_RESET},
    {"set-secondary-id", kernel::SET_SECONDARY_ID},
};

}  // namespace

std::string request_name(unsigned long request) {
  const auto* found = std::ranges::find(REQUESTS, request, &NamedRequest::number);
  if (found == std::end(REQUESTS)) return fmt::format("0x{:x}", request);
  return std::string(found->name);
}

std::optional<unsigned long> request_number(std::string_view name) {
  const auto* found = std::ranges::find(REQUESTS, name, &NamedRequest::name);
  if (found == std::end(REQUESTS)) return std::nullopt;
  return found->number;
}

}  // namespace zel_sim
