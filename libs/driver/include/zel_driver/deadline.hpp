#pragma once

#include <chrono>

#include "zel_driver/backend.hpp"

namespace zel_driver {

// A point `timeout` after now on the backend's monotonic clock. A timeout too large to add
// (nanoseconds::max() as "wait for ever") saturates instead of overflowing.
class Deadline {
 public:
  Deadline(Backend& clock, std::chrono::nanoseconds timeout)
      : clock_(&clock), at_(after(clock.now(), timeout)) {}

  bool passed() const { return clock_->now() >= at_; }

 private:
  static std::chrono::nanoseconds after(std::chrono::nanoseconds now,
                                        std::chrono::nanoseconds timeout) {
    if (timeout > std::chrono::nanoseconds::max() - now) return std::chrono::nanoseconds::max();
    return now + timeout;
  }

  Backend* clock_;
  std::chrono::nanoseconds at_;
};

}  // namespace zel_driver
