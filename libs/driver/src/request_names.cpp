#include "zel_driver/request_names.hpp"

#include <algorithm>

#include "zel_driver/kernel_interface.hpp"

namespace zel_driver {
namespace {

struct NamedRequest {
  std::string_view name;
  unsigned long number;
};

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

std::optional<std::string_view> request_name(unsigned long number) {
  const auto* found = std::ranges::find(REQUESTS, number, &NamedRequest::number);
  if (found == std::end(REQUESTS)) return std::nullopt;
  return found->name;
}

}  // namespace zel_driver
