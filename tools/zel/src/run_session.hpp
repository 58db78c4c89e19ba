#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "log_printer.hpp"
#include "output_file.hpp"
#include "reset_memory/run_observer.hpp"
#include "run_report.hpp"
#include "zel_driver/tracing_backend.hpp"

namespace zel {

// Two names of one file: the same text, or one file reached by two paths.
bool same_file(const std::string& first, const std::string& second);

// A usage error when the trace and the report would be one file.
[[nodiscard]] std::expected<void, std::string> check_outputs(
    const std::optional<std::string>& trace, const std::optional<std::string>& report);

// What one command asks around a run of the tool.
struct SessionSettings {
  std::string command;  // "zel run", "zel replay": heads the command's own lines
  std::optional<std::string> trace, report;
  std::optional<zel_log::Level> log;
  RunIdentity identity;  // of the report, and of the trace's first line; its inputs are
                         // taken from the arguments when it has none
  std::vector<std::string> arguments;  // the tool's
};

// One run of the tool as zel run and zel replay watch it: the trace and the report, opened
// before the device is touched and put in place when the run is over (the report last, so it
// holds the status the command ends with); the trace's and report's view of the run's phases;
// the libraries' events printed; and the device node held for the run.
class RunSession {
 public:
  // Blocks signals (from here on only kill ends the command while temporary files exist),
  // takes the digests of the inputs when an output will hold them, and opens the outputs, on
  // `backend`, its clock being `clock` (the backend's own when none). None, with the line said
  // on `err`, when an output cannot be written: the status is then 1.
  [[nodiscard]] static std::unique_ptr<RunSession> open(SessionSettings settings,
                                                        zel_base::Backend& backend,
                                                        std::ostream& out, std::ostream& err,
                                                        zel_base::Backend* clock = nullptr);

  // Where the tool's own lines go: standard output, or standard error when standard output
  // carries JSON (a trace or report on "-").
  std::ostream& tool_out() { return *tool_out_; }
  RunReport* report() { return report_ ? &*report_ : nullptr; }

  // The tool's run on the node at `node_path`, held for the run; its status. A node held by
  // another run, or one that cannot be opened, ends it early (`node_hint`: say why a real
  // node cannot be opened). The libraries' events go to `log`.
  int run(std::string_view node_path, std::ostream& tool_out, std::ostream& tool_err,
          std::ostream& log, bool node_hint);

  // Puts the trace in place, its last line saying how the run ended, then writes the report
  // and puts it in place. An output that could not be written whole is said on standard
  // error and in the report, and a passing run then ends with 1. The command's status.
  int close(RunOutcome& outcome);

 private:
  RunSession(SessionSettings settings, zel_base::Backend& backend, zel_base::Backend& clock,
             std::ostream& err);
  void commit(std::optional<OutputFile>& file, const char* what, std::vector<std::string>& errors);

  // Hands the run's phases to the trace and the report, whichever are wanted.
  class Watchers final : public reset_memory::RunObserver {
   public:
    explicit Watchers(RunSession& session) : session_(session) {}
    void phase(std::string_view name) override;
    void reset_timed(std::chrono::nanoseconds duration) override;
    void ended(const reset_memory::Step& result) override;

   private:
    RunSession& session_;
  };

  SessionSettings settings_;
  zel_base::Backend& backend_;
  zel_base::Backend& clock_;
  std::ostream& err_;
  std::ostream* tool_out_ = nullptr;
  std::optional<OutputFile> trace_file_, report_file_;
  std::optional<zel_driver::TracingBackend> tracing_;
  std::optional<RunReport> report_;
  Watchers watchers_{*this};
};

}  // namespace zel
