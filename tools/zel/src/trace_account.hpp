#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "run_report.hpp"

namespace zel {

// What zel says of a run in the "run" object of its trace's first line: who ran it where, the
// tool's arguments and the digests of its inputs, so that a replay can check it is given the
// same files.
struct RecordedRun {
  std::vector<std::string> command_line;
  nlohmann::ordered_json device;  // as the report's "device"
  std::vector<std::string> arguments;
  nlohmann::ordered_json inputs;  // as the report's "inputs"

  static RecordedRun of(const RunIdentity& identity, std::span<const std::string> arguments);
  // The account read back; what is missing or of the wrong kind, otherwise.
  [[nodiscard]] static std::expected<RecordedRun, std::string> read(std::string_view run);
  std::string text() const;
};

// What zel says of how the run ended, in the trace's last line: the status the command ended
// with (before its outputs were put in place) and what the simulated device said of it.
struct RecordedEnd {
  int exit_status = 0;
  nlohmann::ordered_json faults = nlohmann::ordered_json::array();
  std::vector<std::string> warnings;
  std::vector<std::string> refusals;

  static RecordedEnd of(const RunOutcome& outcome);
  [[nodiscard]] static std::expected<RecordedEnd, std::string> read(std::string_view run);
  std::string text() const;
};

}  // namespace zel
