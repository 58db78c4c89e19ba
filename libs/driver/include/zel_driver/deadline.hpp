#pragma once

#include <chrono>
#include <concepts>

#include "zel_base/backend.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/driver_error.hpp"

namespace zel_driver {

// A point `timeout` after now on the backend's monotonic clock. A timeout too large to add
// (nanoseconds::max() as "wait for ever") saturates instead of overflowing.
class Deadline {
 public:
  Deadline(zel_base::Backend& clock, std::chrono::nanoseconds timeout)
      : clock_(&clock), at_(after(clock.now(), timeout)) {}

  bool passed() const { return clock_->now() >= at_; }

 private:
  static std::chrono::nanoseconds after(std::chrono::nanoseconds now,
                                        std::chrono::nanoseconds timeout) {
    if (timeout > std::chrono::nanoseconds::max() - now) return std::chrono::nanoseconds::max();
    return now + timeout;
  }

  zel_base::Backend* clock_;
  std::chrono::nanoseconds at_;
};

// The one shape of every wait on the device: `attempt` looks at the device once and says
// whether the wait is over (true), or fails, which ends the wait with its error unchanged,
// even past the deadline. After an attempt that is not over, a passed deadline ends the wait
// with `expired()` (built from what the attempts saw); otherwise the clock sleeps `interval`
// (zero: look again at once) and the next attempt follows. There is always one attempt, and
// no sleep before the first one nor between the last one and the timeout.
template <class Attempt, class Expired>
requires std::invocable<Attempt&> && std::invocable<Expired&> std::expected<void, DriverError>
poll_until(zel_base::Backend& clock, std::chrono::nanoseconds timeout,
           std::chrono::nanoseconds interval, Attempt&& attempt, Expired&& expired) {
  const Deadline deadline(clock, timeout);
  for (;;) {
    ZEL_TRY_ASSIGN(const bool over, attempt());
    if (over) return {};
    if (deadline.passed()) return std::unexpected(expired());
    if (interval > std::chrono::nanoseconds::zero()) clock.sleep_for(interval);
  }
}

}  // namespace zel_driver
