#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "log_printer.hpp"
#include "node_status.hpp"
#include "output_file.hpp"
#include "reset_memory/run.hpp"
#include "run_report.hpp"
#include "zel/commands.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_base/fd_output.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/device_lock.hpp"
#include "zel_driver/signals.hpp"
#include "zel_driver/system_backend.hpp"
#include "zel_driver/tracing_backend.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel {
namespace {

using reset_memory::RunObserver;
using zel_base::debug_quote;

// A trace streams many lines: large writes keep it from costing a system call every few.
constexpr std::size_t TRACE_BUFFER_BYTES = std::size_t{1} << 20;
constexpr std::size_t REPORT_BUFFER_BYTES = std::size_t{1} << 16;

// Hands the run's phases to the trace and the report, whichever are wanted.
class Watchers final : public RunObserver {
 public:
  Watchers(zel_driver::TracingBackend* trace, RunReport* report) : trace_(trace), report_(report) {}

  void phase(std::string_view name) override {
    if (trace_ != nullptr) trace_->phase(name);
    if (report_ != nullptr) report_->phase(name);
  }
  void reset_timed(std::chrono::nanoseconds duration) override {
    if (report_ != nullptr) report_->reset_timed(duration);
  }
  void ended(const reset_memory::Step& result) override {
    if (report_ != nullptr) report_->ended(result);
  }

 private:
  zel_driver::TracingBackend* trace_;
  RunReport* report_;
};

// The device the run goes to: the simulated one with its faults, or a node of the system.
struct Target {
  std::optional<zel_sim::SimDevice> sim;
  zel_base::Backend* backend = nullptr;
  std::string node_path;
  nlohmann::ordered_json description;
  std::vector<std::string> faults;  // those switched on for this device, as given
};

[[nodiscard]] std::expected<void, std::string> choose_target(const RunOptions& options,
                                                             Target& target) {
  if (options.device) {
    target.backend = &zel_driver::system_backend();
    target.node_path = *options.device;
    target.description = {
        {"kind", "node"}, {"path", *options.device}, {"identity", *options.device}};
    return {};
  }
  zel_sim::SimConfig config{.tile_count = options.tiles};
  zel_sim::Faults faults;
  ZEL_TRY_ASSIGN(target.faults,
                 faults_for(options.faults, options.sim_index, options.sim_index + 1));
  for (const std::string& fault : target.faults) {
    if (auto applied = apply_fault(fault, config, faults); !applied) {
      return std::unexpected(fmt::format("--fault {}: {}", debug_quote(fault), applied.error()));
    }
  }
  target.sim.emplace(config);
  target.sim->faults() = std::move(faults);
  target.backend = &*target.sim;
  target.node_path = reset_memory::DEVICE_PATH;
  target.description = {{"kind", "simulated"},
                        {"tiles", options.tiles},
                        {"identity", fmt::format("sim{}", options.sim_index)}};
  return {};
}

// Two names of one file: the same text, or one file reached by two paths.
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

// What must hold before anything is opened: a usage error otherwise.
[[nodiscard]] std::expected<void, std::string> check_usage(const RunOptions& options) {
  if (options.trace && options.report && same_file(*options.trace, *options.report)) {
    return std::unexpected(
        *options.trace == "-"
            ? std::string("--trace and --report cannot both be standard output")
            : fmt::format("--trace and --report name one file, {}", debug_quote(*options.report)));
  }
  // A real device is reset as soon as the run starts: a missing or extra argument is caught
  // before that, not after.
  if (options.device && options.arguments.size() != 3) {
    return std::unexpected(
        fmt::format("with --device, give exactly CONFIG PACKAGE BOOTLOADER ({} given)",
                    options.arguments.size()));
  }
  return {};
}

// The trace and the report, opened before the device is touched: a run whose trace or report
// could not be kept is not started.
struct Outputs {
  std::optional<OutputFile> trace, report;
};

std::optional<OutputFile> open_output(const std::optional<std::string>& path, const char* what,
                                      std::size_t buffer_bytes, std::ostream& out,
                                      std::ostream& err, bool& failed) {
  if (!path) return std::nullopt;
  auto file = OutputFile::open(*path, out, buffer_bytes);
  if (!file) {
    err << fmt::format("zel run: cannot write {} {}: {}\n", what, debug_quote(*path),
                       file.error().reason());
    failed = true;
    return std::nullopt;
  }
  return std::move(*file);
}

// Puts an output in place; a loss is said on standard error and kept for the report.
void commit_output(std::optional<OutputFile>& file, const char* what, std::ostream& err,
                   std::vector<std::string>& errors) {
  if (!file) return;
  if (auto committed = file->commit(); !committed) {
    errors.push_back(fmt::format("cannot write {} {}: {}", what, debug_quote(file->path()),
                                 committed.error().reason()));
    err << "zel run: " << errors.back() << '\n';
  }
}

// Each refusal once, in the order they first came, with how often when more than once: a
// host that keeps addressing a missing tile would otherwise bury the run's own lines.
void print_refusals(const std::vector<std::string>& refusals, std::ostream& err) {
  std::vector<std::pair<std::string_view, std::size_t>> distinct;
  for (const std::string& refusal : refusals) {
    const auto seen = std::ranges::find(distinct, std::string_view(refusal),
                                        &std::pair<std::string_view, std::size_t>::first);
    if (seen != distinct.end()) {
      ++seen->second;
    } else {
      distinct.emplace_back(refusal, 1);
    }
  }
  for (const auto& [refusal, times] : distinct) {
    err << "zel_sim: " << refusal;
    if (times > 1) err << fmt::format(" ({} times)", times);
    err << '\n';
  }
}

// One line per --fault: how often it took effect, or a warning that it never did, so a fault
// that missed its mark is not taken for one the stack survived.
nlohmann::ordered_json report_firings(const std::vector<std::string>& faults,
                                      const zel_sim::FaultFirings& firings, std::ostream& err,
                                      std::vector<std::string>& warnings) {
  nlohmann::ordered_json fared = nlohmann::ordered_json::array();
  for (const FaultFiring& fault : fault_firings(faults, firings)) {
    fared.push_back({{"fault", fault.fault}, {"fired", fault.fired}});
    if (fault.fired == 0) {
      warnings.push_back(fmt::format("fault {} never fired", fault.fault));
      err << "zel run: warning: " << warnings.back() << '\n';
    } else {
      err << fmt::format("zel run: fault {} fired {} time{}\n", fault.fault, fault.fired,
                         fault.fired == 1 ? "" : "s");
    }
  }
  return fared;
}

// The run, with the device node held for it. A node that cannot be opened gives the run's own
// error line; one held by another program is said by name and the run does not start.
int run_holding_device(const RunOptions& options, const Target& target, zel_base::Backend& backend,
                       std::ostream& tool_out, std::ostream& err, RunReport* report,
                       Watchers* watchers) {
  auto lock = zel_driver::DeviceLock::take(target.node_path, backend);
  if (!lock) {
    if (const auto* busy = std::get_if<zel_driver::DeviceLock::Busy>(&lock.error())) {
      const std::string line = fmt::format("device busy: held by PID {}", busy->holder);
      err << fmt::format("zel run: {}: {}\n", debug_quote(target.node_path), line);
      if (report != nullptr) report->ended_early(line, debug_quote(line));
      return reset_memory::EXIT_ERROR;
    }
    const auto& error = std::get<zel_driver::DriverError>(lock.error());
    err << fmt::format("Error: {:?}\n", error);
    const auto* io = std::get_if<zel_driver::DriverError::Io>(&error.variant());
    if (options.device && io != nullptr) {
      err << "zel run: " << node_open_hint(target.node_path, io->source.code()) << '\n';
    }
    if (report != nullptr) report->ended_early(error.display(), error.debug());
    return reset_memory::EXIT_ERROR;
  }
  const reset_memory::RunSettings settings{
      .device_path = target.node_path,
      .observer = watchers,
  };
  return reset_memory::run(options.arguments, backend, tool_out, err, settings);
}

}  // namespace

int run_command(const RunOptions& options, std::ostream& out, std::ostream& err) {
  Target target;
  auto usage = check_usage(options);
  if (usage) usage = choose_target(options, target);
  if (!usage) {
    err << fmt::format("zel run: {}\n", usage.error());
    return EXIT_USAGE;
  }
  // Blocked before any output file is made, so that no signal but kill ends the command
  // between the temporary files' creation and their removal or rename.
  if (auto blocked = zel_driver::block_device_interrupt_signals(); !blocked) {
    err << fmt::format("Error: {:?}\n", blocked.error());
    return reset_memory::EXIT_ERROR;
  }
  bool unwritable = false;
  Outputs outputs{
      .trace = open_output(options.trace, "trace", TRACE_BUFFER_BYTES, out, err, unwritable),
      .report = open_output(options.report, "report", REPORT_BUFFER_BYTES, out, err, unwritable),
  };
  if (unwritable) return reset_memory::EXIT_ERROR;
  // Standard output that carries JSON carries nothing else: the tool's lines go to err.
  const bool json_out = options.trace == "-" || options.report == "-";
  std::ostream& tool_out = json_out ? err : out;

  std::optional<zel_driver::TracingBackend> tracing;
  if (outputs.trace) tracing.emplace(*target.backend, outputs.trace->stream());
  zel_base::Backend& backend = tracing ? *tracing : *target.backend;
  std::optional<RunReport> report;
  if (outputs.report) {
    report.emplace(*target.backend,
                   RunIdentity{.host = options.host.value_or(host_name()),
                               .command_line = options.command_line,
                               .device = target.description,
                               .sequence = options.sequence},
                   options.arguments);
  }
  Watchers watchers(tracing ? &*tracing : nullptr, report ? &*report : nullptr);
  std::optional<LogPrinter> printer;
  if (options.log) {
    printer.emplace(*options.log, *target.backend, err);
    zel_log::set_sink(&*printer);
  }
  RunOutcome outcome;
  outcome.exit_status =
      run_holding_device(options, target, backend, tool_out, err, report ? &*report : nullptr,
                         tracing || report ? &watchers : nullptr);
  zel_log::set_sink(nullptr);

  outcome.faults = nlohmann::ordered_json::array();
  if (target.sim) {
    outcome.refusals = target.sim->take_refusals();
    print_refusals(outcome.refusals, err);
    outcome.faults =
        report_firings(target.faults, target.sim->fault_firings(), err, outcome.warnings);
  }
  if (!outcome.refusals.empty()) outcome.exit_status = EXIT_REFUSED;

  // The run has said a loss of its own lines already; the report says it too.
  if (const int lost = zel_base::lost_output(tool_out); lost != 0) {
    outcome.output_errors.push_back(
        fmt::format("cannot write the result lines: {}", zel_base::OsError(lost).reason()));
  }
  commit_output(outputs.trace, "trace", err, outcome.output_errors);
  // An incomplete trace or report never passes for a complete one.
  const auto fail_on_loss = [&] {
    if (!outcome.output_errors.empty() && outcome.exit_status == reset_memory::EXIT_OK) {
      outcome.exit_status = reset_memory::EXIT_ERROR;
    }
  };
  fail_on_loss();
  // Written last, so it holds the status the command ends with.
  if (report) {
    outputs.report->stream() << report->finish(outcome).dump(
                                    2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                             << '\n';
  }
  commit_output(outputs.report, "report", err, outcome.output_errors);
  fail_on_loss();
  return outcome.exit_status;
}

}  // namespace zel
