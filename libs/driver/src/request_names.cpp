#include "zel_driver/request_names.hpp"

#include <algorithm>

#include "zel_driver/kernel_interface.hpp"

namespace zel_driver {
namespace {

constexpr NamedRequest REQUESTS[] = {
    {"attach", IOCTL_ATTACH},
    {"set-id", IOCTL_SET_ID},
    {"mailbox", IOCTL_MAILBOX},
    {"stop-monitoring", IOCTL_STOP_MONITORING},
    {"start-monitoring", IOCTL_START_MONITORING},
    {"accumulate-errors", IOCTL_ACCUMULATE_ERRORS},
    {"notify-reset", IOCTL_NOTIFY_RESET},
    {"set-secondary-id", IOCTL_SET_SECONDARY_ID},
    {"attach-buffer", IOCTL_ATTACH_BUFFER},
    {"detach-buffer", IOCTL_DETACH_BUFFER},
};

}  // namespace

std::span<const NamedRequest> named_requests() { return REQUESTS; }

std::optional<std::string_view> request_name(unsigned long number) {
  const auto* found = std::ranges::find(REQUESTS, number, &NamedRequest::number);
  if (found == std::end(REQUESTS)) return std::nullopt;
  return found->name;
}

std::optional<unsigned long> request_number(std::string_view name) {
  const auto* found = std::ranges::find(REQUESTS, name, &NamedRequest::name);
  if (found == std::end(REQUESTS)) return std::nullopt;
  return found->number;
}

}  // namespace zel_driver
