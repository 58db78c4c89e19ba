// `zel replay TRACE CONFIG PACKAGE BOOTLOADER`: the tool's run again, against the answers a
// recorded run got, checking every call the stack makes against the recorded one.
#include <fstream>
#include <sstream>
#include <streambuf>

#include <fmt/format.h>

#include "replay_divergence.hpp"
#include "reset_memory/run.hpp"
#include "run_session.hpp"
#include "trace_account.hpp"
#include "zel/commands.hpp"
#include "zel_base/error.hpp"
#include "zel_base/fd_output.hpp"
#include "zel_driver/replay_backend.hpp"

namespace zel {
namespace {

using json = nlohmann::ordered_json;
using zel_base::debug_quote;

constexpr const char* COMMAND = "zel replay";

// Passes what is written on to `before` until the replay stops, to `after` (if any) from then
// on: what the run does once it left the trace is no part of the recorded run.
class SplitAtStop final : public std::streambuf {
 public:
  SplitAtStop(std::streambuf& before, std::streambuf* after,
              const zel_driver::ReplayBackend& replay)
      : before_(before), after_(after), replay_(replay) {}

 protected:
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    std::streambuf* to = target();
    return to != nullptr ? to->sputn(text, count) : count;
  }
  int_type overflow(int_type c) override {
    std::streambuf* to = target();
    if (to == nullptr || traits_type::eq_int_type(c, traits_type::eof())) return c;
    return to->sputc(traits_type::to_char_type(c));
  }
  int sync() override { return before_.pubsync(); }

 private:
  std::streambuf* target() const { return replay_.stopped() ? after_ : &before_; }

  std::streambuf& before_;
  std::streambuf* after_;
  const zel_driver::ReplayBackend& replay_;
};

// The tool's lines, kept until the replay is over: those written before it stopped, and
// those written after.
struct ToolLines {
  explicit ToolLines(const zel_driver::ReplayBackend& replay)
      : out_split(*out_before.rdbuf(), out_after.rdbuf(), replay),
        err_split(*err_before.rdbuf(), err_after.rdbuf(), replay) {}

  std::ostringstream out_before, out_after, err_before, err_after;
  SplitAtStop out_split, err_split;
  std::ostream out{&out_split}, err{&err_split};
};

// What an input is, for a line: its digest, or why the run had none.
std::string described(const json& input) {
  if (input.contains("sha256")) return fmt::format("SHA-256 {}", input.value("sha256", ""));
  return input.value("error", "no digest");
}

// The given inputs against the recorded ones, in argument order: the first that is not the
// recorded file, in one line.
std::expected<void, std::string> check_inputs(const json& recorded, const json& given) {
  for (std::size_t i = 0; i < given.size(); ++i) {
    const json& now = given[i];
    const json was = i < recorded.size() ? recorded[i] : json::object();
    const bool same = now.contains("sha256") ? now.value("sha256", "") == was.value("sha256", "") &&
                                                   now.value("size", 0) == was.value("size", 0)
                                             : !was.contains("sha256") &&
                                                   now.value("error", "") == was.value("error", "");
    if (!same) {
      return std::unexpected(
          fmt::format("the {} file {} is not the recorded one: {} here, {} in the trace",
                      now.value("role", "input"), debug_quote(now.value("path", "")),
                      described(now), described(was)));
    }
  }
  return {};
}

// The trace opened, its first and last lines read and the run it records checked against the
// inputs given; the line that says why not otherwise.
struct Recording {
  std::ifstream file;
  std::optional<zel_driver::TraceReader> reader;
  RecordedRun run;
  RecordedEnd end;
};

std::expected<void, std::string> open_recording(const ReplayOptions& options, const json& inputs,
                                                Recording& recording) {
  const std::string path = debug_quote(options.recorded);
  recording.file.open(options.recorded, std::ios::binary);
  if (!recording.file) {
    return std::unexpected(
        fmt::format("cannot read {}: {}", path, zel_base::OsError::last().reason()));
  }
  auto reader = zel_driver::TraceReader::open(recording.file);
  if (!reader) return std::unexpected(fmt::format("{}: {}", path, reader.error().text()));
  recording.reader.emplace(std::move(*reader));
  auto run = RecordedRun::read(recording.reader->header().run);
  if (!run) {
    return std::unexpected(fmt::format("{}: line 1: the run it records: {}", path, run.error()));
  }
  recording.run = std::move(*run);
  auto last = zel_driver::read_trace_end(recording.file);
  if (!last) return std::unexpected(fmt::format("{}: {}", path, last.error().text()));
  auto end = RecordedEnd::read(last->run);
  if (!end) return std::unexpected(fmt::format("{}: its last line: {}", path, end.error()));
  recording.end = std::move(*end);
  if (recording.run.arguments.size() != options.inputs.size()) {
    const std::size_t given = recording.run.arguments.size();
    return std::unexpected(fmt::format("{}: the recorded run was given {} argument{}, not {}", path,
                                       given, given == 1 ? "" : "s", options.inputs.size()));
  }
  return check_inputs(recording.run.inputs, inputs);
}

// The node the recorded run held and opened.
std::string node_path(const json& device) {
  if (device.value("kind", "") == "node") return device.value("path", "");
  return reset_memory::DEVICE_PATH;
}

// A faithful replay ends as the recorded run did: its own lines, then the simulated device's
// refusals as recorded. A different status is the run's last departure from the record.
int end_as_recorded(const ReplayOptions& options, const RecordedEnd& recorded, RunOutcome& outcome,
                    RunSession& session, std::ostream& err) {
  outcome.faults = recorded.faults;
  outcome.warnings = recorded.warnings;
  outcome.refusals = recorded.refusals;
  for (const std::string& refusal : outcome.refusals) err << "zel_sim: " << refusal << '\n';
  if (!outcome.refusals.empty()) outcome.exit_status = EXIT_REFUSED;
  if (outcome.exit_status == recorded.exit_status) return outcome.exit_status;
  err << fmt::format(
      "{}: {}: the run made every recorded call but ended with status {}, the recorded run "
      "with {}\n",
      COMMAND, debug_quote(options.recorded), outcome.exit_status, recorded.exit_status);
  if (RunReport* report = session.report()) {
    report->diverged(
        {{"exit_status", outcome.exit_status}, {"recorded_exit_status", recorded.exit_status}});
  }
  return EXIT_DIVERGED;
}

// How the replay went, once its run is over: the run's lines as far as they belong to it,
// what is said of the replay, and the status.
int conclude(const ReplayOptions& options, const zel_driver::ReplayBackend& replay,
             const RecordedEnd& recorded, const ToolLines& lines, RunOutcome& outcome,
             RunSession& session, std::ostream& err) {
  const auto& stop = replay.stop();
  std::ostream& out = session.tool_out();
  if (!stop || std::holds_alternative<zel_driver::ReplayDivergence>(*stop)) {
    out << lines.out_before.str() << std::flush;
    err << lines.err_before.str();
  }
  if (!stop) return end_as_recorded(options, recorded, outcome, session, err);
  if (const auto* divergence = std::get_if<zel_driver::ReplayDivergence>(&*stop)) {
    // What the run made of the answers it had, so that an edited answer shows where it leads.
    err << divergence_block(*divergence, options.recorded)
        << "  the run's own end, every call after the departure refused (ECANCELED):\n"
        << std::flush;
    out << lines.out_after.str() << std::flush;
    err << lines.err_after.str();
    if (RunReport* report = session.report()) report->diverged(divergence_json(*divergence));
    return EXIT_DIVERGED;
  }
  std::string line;
  int status = reset_memory::EXIT_ERROR;
  if (const auto* unreadable = std::get_if<zel_driver::TraceError>(&*stop)) {
    line = fmt::format("{}: {}", debug_quote(options.recorded), unreadable->text());
    status = EXIT_USAGE;
  } else {
    line = fmt::format("cannot have the host memory the recorded run had: {}",
                       std::get<zel_base::OsError>(*stop).reason());
  }
  err << COMMAND << ": " << line << '\n';
  if (RunReport* report = session.report()) report->ended_early(line, debug_quote(line));
  return status;
}

}  // namespace

int replay_command(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
  if (auto outputs = check_outputs(options.trace, options.report); !outputs) {
    err << fmt::format("{}: {}\n", COMMAND, outputs.error());
    return EXIT_USAGE;
  }
  if (options.trace && same_file(*options.trace, options.recorded)) {
    err << fmt::format("{}: --trace names the trace replayed, {}\n", COMMAND,
                       debug_quote(options.recorded));
    return EXIT_USAGE;
  }
  // The inputs are checked before anything runs: a replay of other files proves nothing.
  const json inputs = run_inputs(options.inputs);
  Recording recording;
  if (auto opened = open_recording(options, inputs, recording); !opened) {
    err << COMMAND << ": " << opened.error() << '\n';
    return EXIT_USAGE;
  }
  zel_driver::ReplayBackend replay(*recording.reader);
  const auto& header = recording.reader->header();
  auto session = RunSession::open(
      {
          .command = COMMAND,
          .trace = options.trace,
          .report = options.report,
          .log = options.log,
          .identity = {.host = host_name(),
                       .command_line = options.command_line,
                       .device = recording.run.device,
                       .inputs = inputs,
                       .recorded = {{"trace", options.recorded},
                                    {"version", header.version},
                                    {"source_revision", header.source_revision},
                                    {"command_line", recording.run.command_line}}},
          .arguments = options.inputs,
      },
      replay, out, err, &replay.recorded_clock());
  if (!session) return reset_memory::EXIT_ERROR;

  // The libraries' events are printed as they come, until the replay stops.
  ToolLines lines(replay);
  SplitAtStop log_split(*err.rdbuf(), nullptr, replay);
  std::ostream log(&log_split);
  RunOutcome outcome;
  outcome.exit_status =
      session->run(node_path(recording.run.device), lines.out, lines.err, log, false);
  outcome.faults = json::array();
  replay.finish();
  outcome.exit_status = conclude(options, replay, recording.end, lines, outcome, *session, err);
  // The run wrote its lines where nothing is lost; losing them here is said as the run would.
  if (const int lost = zel_base::lost_output(session->tool_out()); lost != 0) {
    err << fmt::format("{}: cannot write the result lines: {}\n", COMMAND,
                       zel_base::OsError(lost).reason());
  }
  return session->close(outcome);
}

}  // namespace zel
