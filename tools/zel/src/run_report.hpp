#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "reset_memory/run_observer.hpp"
#include "zel_base/backend.hpp"

namespace zel {

inline constexpr const char* REPORT_SCHEMA = "zel-run-report/1";

// Collects what the report of one `zel run` says (README: "The run report"): the inputs, the
// phases with their start and duration on the run's clock, the reset's duration, and how the
// run ended.
class RunReport final : public reset_memory::RunObserver {
 public:
  // `clock` is the run's backend; times count from now. `device` describes the device.
  RunReport(zel_base::Backend& clock, nlohmann::ordered_json device,
            std::span<const std::string> arguments);

  void phase(std::string_view name) override;
  void reset_timed(std::chrono::nanoseconds duration) override;
  void ended(const reset_memory::Step& result) override;

  // The report, once the command's status is known. `refusals`: what the simulated device
  // refused; `output_errors`: traces or reports that could not be written.
  nlohmann::ordered_json finish(int exit_status, std::span<const std::string> refusals,
                                std::span<const std::string> output_errors) const;

 private:
  std::chrono::nanoseconds since_start() { return clock_.now() - start_; }

  zel_base::Backend& clock_;
  std::chrono::nanoseconds start_;
  nlohmann::ordered_json device_;
  nlohmann::ordered_json inputs_ = nlohmann::ordered_json::array();
  nlohmann::ordered_json phases_ = nlohmann::ordered_json::array();
  std::optional<std::chrono::nanoseconds> phase_start_;
  nlohmann::ordered_json reset_;
  std::string result_ = "error";  // until the run says how it ended
  nlohmann::ordered_json end_ = nlohmann::ordered_json::object();
};

}  // namespace zel
