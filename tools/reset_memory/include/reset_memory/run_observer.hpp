#pragma once

#include <chrono>
#include <string_view>

#include "reset_memory/run_end.hpp"

namespace reset_memory {

// Watches a run from outside (a trace, a report); the run does not depend on what it does.
// Phases, in run order: open, initialize, replay, package, bootloader, load, package-writes,
// poison, restore, reset, readback, release; a run that ends early stops at the phase that
// failed (release still follows once the device was open).
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // A phase begins; the one before it, if any, has ended.
  virtual void phase(std::string_view name) = 0;
  // The reset of tile memory took `duration` on the backend's clock.
  virtual void reset_timed(std::chrono::nanoseconds) {}
  // The run is over (the device released), just before its report or error line is written.
  virtual void ended(const Step&) {}
};

// What run() is handed to watch the run's phases: a call through it costs nothing more than
// a test when there is no observer.
class Phases {
 public:
  explicit Phases(RunObserver* observer) : observer_(observer) {}
  void operator()(std::string_view name) const {
    if (observer_ != nullptr) observer_->phase(name);
  }
  void reset_timed(std::chrono::nanoseconds duration) const {
    if (observer_ != nullptr) observer_->reset_timed(duration);
  }

 private:
  RunObserver* observer_;
};

}  // namespace reset_memory
