#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "reset_memory/run_observer.hpp"
#include "zel_base/backend.hpp"

namespace zel {

inline constexpr const char* REPORT_SCHEMA = "zel-run-report/1";

// This host's name, as reports give it unless told another.
std::string host_name();

// What a report says before the run starts: who ran what, where.
struct RunIdentity {
  std::string host;
  std::vector<std::string> command_line;  // "zel", "run", ... as given
  nlohmann::ordered_json device;          // kind, tiles or path, identity
  std::uint64_t sequence = 1;             // of the device's runs in this command
  nlohmann::ordered_json inputs;          // run_inputs() of the tool's arguments
  nlohmann::ordered_json recorded;        // a replay: the recorded run it replays; else null
};

// The inputs a run of the tool reads from its arguments (at most three), in argument order:
// role, path, and size and SHA-256 or why there are none.
nlohmann::ordered_json run_inputs(std::span<const std::string> arguments);

// How a run ended beyond the tool's own result, once the command's status is known.
struct RunOutcome {
  int exit_status = 0;
  std::vector<std::string> refusals;       // what the simulated device refused
  nlohmann::ordered_json faults;           // each --fault with its firing count
  std::vector<std::string> warnings;       // a fault that never fired, ...
  std::vector<std::string> output_errors;  // outputs that could not be written whole
};

// Collects what the report of one `zel run` says (doc/zel-run-report.schema.json): who ran it
// where, the inputs, the phases with their start and duration on the run's clock, the reset's
// duration, and how the run ended.
class RunReport final : public reset_memory::RunObserver {
 public:
  // `clock` is the run's backend; times count from now.
  RunReport(zel_base::Backend& clock, RunIdentity identity);

  void phase(std::string_view name) override;
  void reset_timed(std::chrono::nanoseconds duration) override;
  void ended(const reset_memory::Step& result) override;
  // The run ended before it started: `display` and `debug` of the error (a busy device).
  void ended_early(const std::string& display, const std::string& debug);
  // A replay departed from its trace: whatever its run made of that is not the run's end.
  void diverged(nlohmann::ordered_json divergence);

  nlohmann::ordered_json finish(const RunOutcome& outcome) const;

 private:
  std::chrono::nanoseconds since_start() { return clock_.now() - start_; }

  zel_base::Backend& clock_;
  std::chrono::nanoseconds start_;
  nlohmann::ordered_json head_;  // everything known before the run
  nlohmann::ordered_json phases_ = nlohmann::ordered_json::array();
  std::optional<std::chrono::nanoseconds> phase_start_;
  nlohmann::ordered_json reset_;
  std::string result_ = "error";  // until the run says how it ended
  nlohmann::ordered_json end_ = nlohmann::ordered_json::object();
};

}  // namespace zel
