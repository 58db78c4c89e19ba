#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// What a run report's `result` can be: a pass, then each kind of failure.
inline constexpr std::array<std::string_view, 4> RUN_RESULTS = {"pass", "error", "check-failed",
                                                                "refused"};

// A word the check found wrong, as a report names it.
struct FailedWord {
  std::uint64_t tile = 0;
  std::string address;  // "0x80000"
  std::string value;
};

// What aggregation needs of one run report.
struct RunRecord {
  std::string path;               // the report's file
  std::string host;               // "unknown" for a report without one
  std::string device;             // its identity on its host
  bool injected = false;          // faults were switched on: not a board's own behaviour
  std::string started_at;         // RFC 3339, or empty
  std::optional<double> started;  // the same in seconds since 1970
  std::uint64_t sequence = 1;
  std::string result;  // one of RUN_RESULTS
  std::int64_t exit_status = 0;
  std::optional<std::uint64_t> duration_ns;  // the run's, on its clock: where its last phase ended
  std::optional<std::uint64_t> reset_ns;
  // How a run that did not pass ended, in a line: the error's debug form, the check failure's
  // first line, the first refusal, or the result when the report says no more. Empty for a pass.
  std::string error;
  std::string report;  // the check failure report as printed
  std::vector<FailedWord> words;
};

// A file that could not be taken as a run report, and why.
struct UnreadableReport {
  std::string path;
  std::string reason;
};

struct ReadReports {
  std::vector<RunRecord> runs;
  std::vector<UnreadableReport> unreadable;
};

// Every report under `paths`: a file as it is, a folder's *.json files at any depth, in the
// order of their paths. Nothing is dropped: what is not a readable report of schema
// zel-run-report/1 with one of RUN_RESULTS is listed with its reason (another schema version
// by its name).
ReadReports read_reports(std::span<const std::string> paths);

// One report's text, as read_reports takes it; the reason when it is not a run report.
std::optional<RunRecord> parse_report(std::string_view text, std::string path, std::string& reason);

}  // namespace zel
