#pragma once

#include <chrono>
#include <ostream>

#include <fmt/format.h>

#include "zel_base/backend.hpp"
#include "zel_log/log.hpp"

namespace zel {

// Prints the libraries' events at `minimum` and above, one line each, headed by the run time
// on the run's clock: "t_ns=12000 INFO zel_driver: opening ZEL device path=\"/dev/zel0\"".
// Texts are quoted and escaped (zel_log::format_event), so no event can forge another line.
class LogPrinter final : public zel_log::Sink {
 public:
  LogPrinter(zel_log::Level minimum, zel_base::Backend& clock, std::ostream& out)
      : minimum_(minimum), clock_(clock), start_(clock.now()), out_(out) {}

  bool accepts(zel_log::Level level) const override { return level >= minimum_; }
  void write(const zel_log::Event& event) override {
    out_ << fmt::format("t_ns={} {}\n", (clock_.now() - start_).count(),
                        zel_log::format_event(event));
  }

 private:
  zel_log::Level minimum_;
  zel_base::Backend& clock_;
  std::chrono::nanoseconds start_;
  std::ostream& out_;
};

}  // namespace zel
