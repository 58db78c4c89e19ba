#pragma once

#include <expected>
#include <string_view>
#include <variant>

#include "zel_base/backend.hpp"
#include "zel_base/unique_fd.hpp"
#include "zel_driver/driver_error.hpp"

namespace zel_driver {

// An exclusive hold on a device node for as long as it lives, so that two programs that take
// it never drive one device at once (whether the kernel driver refuses a second attach is not
// something to count on). The node is opened as Device::open opens it and locked; nothing else
// is asked of its driver. Letting the hold go closes the node, which releases the lock.
class DeviceLock {
 public:
  // Another open file holds the node: `holder` is its process, 0 when that cannot be told.
  struct Busy {
    int holder;
  };
  using Failure = std::variant<DriverError, Busy>;

  // Errors: those of opening the node, as Device::open gives them; Io "lock ZEL device".
  [[nodiscard]] static std::expected<DeviceLock, Failure> take(std::string_view path,
                                                               zel_base::Backend& backend);

 private:
  explicit DeviceLock(zel_base::UniqueFd fd) : fd_(std::move(fd)) {}

  zel_base::UniqueFd fd_;
};

}  // namespace zel_driver
