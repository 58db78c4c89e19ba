#include "run_session.hpp"

#include <sys/stat.h>

#include <filesystem>

#include <fmt/format.h>

#include "node_status.hpp"
#include "reset_memory/run.hpp"
#include "trace_account.hpp"
#include "zel_base/error.hpp"
#include "zel_base/fd_output.hpp"
#include "zel_driver/device_lock.hpp"
#include "zel_driver/signals.hpp"

namespace zel {
namespace {

using zel_base::debug_quote;

// A trace streams many lines: large writes keep it from costing a system call every few.
constexpr std::size_t TRACE_BUFFER_BYTES = std::size_t{1} << 20;
constexpr std::size_t REPORT_BUFFER_BYTES = std::size_t{1} << 16;

// Opens the output `path` names, if any, into `file`; false (with the line said) when it
// cannot be written.
bool open_output(const std::string& command, const std::optional<std::string>& path,
                 const char* what, std::size_t buffer_bytes, std::ostream& out, std::ostream& err,
                 std::optional<OutputFile>& file) {
  if (!path) return true;
  auto opened = OutputFile::open(*path, out, buffer_bytes);
  if (!opened) {
    err << fmt::format("{}: cannot write {} {}: {}\n", command, what, debug_quote(*path),
                       opened.error().reason());
    return false;
  }
  file.emplace(std::move(*opened));
  return true;
}

}  // namespace

bool same_file(const std::string& first, const std::string& second) {
  if (first == second) return true;
  if (first == "-" || second == "-") return false;
  struct stat a, b;
  if (::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  }
  std::error_code ignored;
  return std::filesystem::weakly_canonical(first, ignored) ==
         std::filesystem::weakly_canonical(second, ignored);
}

std::expected<void, std::string> check_outputs(const std::optional<std::string>& trace,
                                               const std::optional<std::string>& report) {
  if (trace && report && same_file(*trace, *report)) {
    return std::unexpected(
        *trace == "-"
            ? std::string("--trace and --report cannot both be standard output")
            : fmt::format("--trace and --report name one file, {}", debug_quote(*report)));
  }
  return {};
}

void RunSession::Watchers::phase(std::string_view name) {
  if (session_.tracing_) session_.tracing_->phase(name);
  if (session_.report_) session_.report_->phase(name);
}

void RunSession::Watchers::reset_timed(std::chrono::nanoseconds duration) {
  if (session_.report_) session_.report_->reset_timed(duration);
}

void RunSession::Watchers::ended(const reset_memory::Step& result) {
  if (session_.report_) session_.report_->ended(result);
}

RunSession::RunSession(SessionSettings settings, zel_base::Backend& backend,
                       zel_base::Backend& clock, std::ostream& err)
    : settings_(std::move(settings)), backend_(backend), clock_(clock), err_(err) {}

std::unique_ptr<RunSession> RunSession::open(SessionSettings settings, zel_base::Backend& backend,
                                             std::ostream& out, std::ostream& err,
                                             zel_base::Backend* clock) {
  // Blocked before any output file is made, so that no signal but kill ends the command
  // between the temporary files' creation and their removal or rename.
  if (auto blocked = zel_driver::block_device_interrupt_signals(); !blocked) {
    err << fmt::format("Error: {:?}\n", blocked.error());
    return nullptr;
  }
  std::unique_ptr<RunSession> session(
      new RunSession(std::move(settings), backend, clock != nullptr ? *clock : backend, err));
  SessionSettings& wanted = session->settings_;
  // Both are tried, so that each one that cannot be written is said.
  const bool trace_open = open_output(wanted.command, wanted.trace, "trace", TRACE_BUFFER_BYTES,
                                      out, err, session->trace_file_);
  const bool report_open = open_output(wanted.command, wanted.report, "report", REPORT_BUFFER_BYTES,
                                       out, err, session->report_file_);
  if (!trace_open || !report_open) return nullptr;
  if ((wanted.trace || wanted.report) && wanted.identity.inputs.is_null()) {
    wanted.identity.inputs = run_inputs(wanted.arguments);
  }
  // Standard output that carries JSON carries nothing else: the tool's lines go to err.
  session->tool_out_ = wanted.trace == "-" || wanted.report == "-" ? &err : &out;
  if (session->trace_file_) {
    // What a replay needs beyond the calls: the arguments and the digests of the inputs.
    session->tracing_.emplace(backend, session->trace_file_->stream(),
                              RecordedRun::of(wanted.identity, wanted.arguments).text(),
                              &session->clock_);
  }
  if (session->report_file_) session->report_.emplace(session->clock_, wanted.identity);
  return session;
}

int RunSession::run(std::string_view node_path, std::ostream& tool_out, std::ostream& tool_err,
                    std::ostream& log, bool node_hint) {
  std::optional<LogPrinter> printer;
  if (settings_.log) {
    printer.emplace(*settings_.log, clock_, log);
    zel_log::set_sink(&*printer);
  }
  zel_base::Backend& backend = tracing_ ? *tracing_ : backend_;
  const auto end_early = [&](const std::string& display, const std::string& debug) {
    if (report_) report_->ended_early(display, debug);
    zel_log::set_sink(nullptr);
    return reset_memory::EXIT_ERROR;
  };
  // A node that cannot be opened gives the run's own error line; one held by another program
  // is said by name and the run does not start.
  auto lock = zel_driver::DeviceLock::take(node_path, backend);
  if (!lock) {
    if (const auto* busy = std::get_if<zel_driver::DeviceLock::Busy>(&lock.error())) {
      const std::string line = fmt::format("device busy: held by PID {}", busy->holder);
      err_ << fmt::format("{}: {}: {}\n", settings_.command, debug_quote(node_path), line);
      return end_early(line, debug_quote(line));
    }
    const auto& error = std::get<zel_driver::DriverError>(lock.error());
    tool_err << fmt::format("Error: {:?}\n", error);
    const auto* io = std::get_if<zel_driver::DriverError::Io>(&error.variant());
    if (node_hint && io != nullptr) {
      err_ << settings_.command << ": " << node_open_hint(std::string(node_path), io->source.code())
           << '\n';
    }
    return end_early(error.display(), error.debug());
  }
  const reset_memory::RunSettings run_settings{
      .device_path = node_path,
      .observer = tracing_ || report_ ? &watchers_ : nullptr,
  };
  const int status =
      reset_memory::run(settings_.arguments, backend, tool_out, tool_err, run_settings);
  zel_log::set_sink(nullptr);
  return status;
}

void RunSession::commit(std::optional<OutputFile>& file, const char* what,
                        std::vector<std::string>& errors) {
  if (!file) return;
  if (auto committed = file->commit(); !committed) {
    errors.push_back(fmt::format("cannot write {} {}: {}", what, debug_quote(file->path()),
                                 committed.error().reason()));
    err_ << settings_.command << ": " << errors.back() << '\n';
  }
}

int RunSession::close(RunOutcome& outcome) {
  // The tool has said a loss of its own lines already; the report says it too.
  if (const int lost = zel_base::lost_output(*tool_out_); lost != 0) {
    outcome.output_errors.push_back(
        fmt::format("cannot write the result lines: {}", zel_base::OsError(lost).reason()));
  }
  if (tracing_) tracing_->finish(RecordedEnd::of(outcome).text());
  commit(trace_file_, "trace", outcome.output_errors);
  // An incomplete trace or report never passes for a complete one.
  const auto fail_on_loss = [&] {
    if (!outcome.output_errors.empty() && outcome.exit_status == reset_memory::EXIT_OK) {
      outcome.exit_status = reset_memory::EXIT_ERROR;
    }
  };
  fail_on_loss();
  // Written last, so it holds the status the command ends with.
  if (report_) {
    report_file_->stream() << report_->finish(outcome).dump(
                                  2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                           << '\n';
  }
  commit(report_file_, "report", outcome.output_errors);
  fail_on_loss();
  return outcome.exit_status;
}

}  // namespace zel
