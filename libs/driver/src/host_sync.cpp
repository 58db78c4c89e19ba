#include "zel_driver/host_sync.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "log_target.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/deadline.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"
#include "zel_log/log.hpp"

namespace zel_driver {

bool is_hsp_sync_register(std::uint32_t offset) {
  return offset == HSP_SYNC_CONTROL_0 || offset == HSP_SYNC_CONTROL_1;
}

Status Device::write_sync_mark(std::uint32_t reg, std::uint32_t mark) const {
  // The mark is checked first: an out-of-range mark is the caller's error whatever the register.
  if (mark > HSP_MARK_LIMIT) return std::unexpected(DriverError::invalid("HSP mark out of range"));
  if (!is_hsp_sync_register(reg)) {
    return std::unexpected(DriverError::invalid(
        fmt::format("0x{:x} is not an HSP synchronization control register", reg)));
  }
  ZEL_TRY(write_config(reg, mark));
  // The read-back makes sure the write has reached the device before the caller goes on.
  ZEL_TRY(read_config(reg));
  return {};
}

Status Device::set_mark(std::uint32_t mark) const {
  return write_sync_mark(HSP_SYNC_CONTROL_0, mark);
}

Status Device::wait_mark(std::uint32_t reg, std::uint32_t expected,
                         std::chrono::nanoseconds timeout) const {
  static const Poll nothing_to_do = [](const Device&) -> Status { return {}; };
  return wait_mark_with(reg, expected, timeout, nothing_to_do);
}

Status Device::wait_mark_with(std::uint32_t reg, std::uint32_t expected,
                              std::chrono::nanoseconds timeout, const Poll& poll) const {
  return wait_mark_poll(reg, expected, timeout, HSP_POLL_INTERVAL, poll);
}

Status Device::wait_mark_poll(std::uint32_t reg, std::uint32_t expected,
                              std::chrono::nanoseconds timeout, std::chrono::nanoseconds interval,
                              const Poll& poll) const {
  // A negative timeout is logged as 0 and waits like 0: one read.
  const auto timeout_ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
  zel_log::emit(
      zel_log::Level::Trace, LOG_TARGET, "waiting for HSP mark",
      {{"register", zel_log::Hex{reg}},
       {"expected", std::uint64_t{expected}},
       {"timeout_ms", static_cast<std::uint64_t>(std::max<std::int64_t>(timeout_ms, 0))}});
  std::uint32_t observed = 0;
  return poll_until(
      backend(), timeout, interval,
      [&]() -> Result<bool> {
        ZEL_TRY_ASSIGN(const std::uint32_t value, read_config(reg));
        observed = value & HSP_MARK_MASK;
        if (observed == expected) {
          zel_log::emit(zel_log::Level::Trace, LOG_TARGET, "observed HSP mark",
                        {{"register", zel_log::Hex{reg}}, {"observed", std::uint64_t{observed}}});
          return true;
        }
        ZEL_TRY(poll(*this));
        return false;
      },
      [&] {
        return DriverError::timeout(
            fmt::format("HSP register 0x{:x}: expected {}, observed {}", reg, expected, observed));
      });
}

Status Device::clear_host_sync_marks() const {
  for (const std::uint32_t reg : {HSP_SYNC_CONTROL_0, HSP_SYNC_CONTROL_1}) {
    ZEL_TRY(write_config(reg, 0));
    ZEL_TRY_ASSIGN(auto value, read_config(reg));
    if (const std::uint32_t observed = value & HSP_MARK_MASK; observed != 0) {
      return std::unexpected(DriverError::invalid(
          fmt::format("HSP register 0x{:x} did not clear: observed {}", reg, observed)));
    }
  }
  return {};
}

}  // namespace zel_driver
