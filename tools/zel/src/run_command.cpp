#include <optional>
#include <vector>

#include <fmt/format.h>

#include "log_printer.hpp"
#include "output_file.hpp"
#include "reset_memory/run.hpp"
#include "run_report.hpp"
#include "zel/commands.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_driver/system_backend.hpp"
#include "zel_driver/tracing_backend.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel {
namespace {

using reset_memory::RunObserver;

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
  nlohmann::ordered_json description;
};

std::expected<void, std::string> choose_target(const RunOptions& options, Target& target) {
  if (options.device) {
    target.backend = &zel_driver::system_backend();
    target.description = {{"kind", "node"}, {"path", *options.device}};
    return {};
  }
  zel_sim::SimConfig config{.tile_count = options.tiles};
  zel_sim::Faults faults;
  for (const std::string& fault : options.faults) {
    if (auto applied = apply_fault(fault, config, faults); !applied) return applied;
  }
  target.sim.emplace(config);
  target.sim->faults() = std::move(faults);
  target.backend = &*target.sim;
  target.description = {{"kind", "simulated"}, {"tiles", options.tiles}};
  return {};
}

std::optional<OutputFile> open_output(const std::optional<std::string>& path, const char* what,
                                      std::ostream& out, std::ostream& err, bool& failed) {
  if (!path) return std::nullopt;
  auto file = OutputFile::open(*path, out);
  if (!file) {
    err << fmt::format("zel run: cannot write {} {}: {}\n", what, *path, file.error());
    failed = true;
    return std::nullopt;
  }
  return std::move(*file);
}

// Closes an output; a loss is said on standard error and kept for the report.
void close_output(std::optional<OutputFile>& file, const char* what, std::ostream& err,
                  std::vector<std::string>& errors) {
  if (!file) return;
  if (auto closed = file->close(); !closed) {
    errors.push_back(fmt::format("cannot write {} {}: {}", what, file->path(), closed.error()));
    err << "zel run: " << errors.back() << '\n';
  }
}

// One line per fault switched on: whether it took effect, and how often.
void report_firings(const std::vector<std::string>& faults, const zel_sim::FaultFirings& firings,
                    std::ostream& err) {
  for (const std::string& fault : faults) {
    const auto fired = switch_named(fault).fired;
    if (fired == nullptr) continue;  // a switch of the device's configuration, not a fault
    const std::uint64_t times = firings.*fired;
    err << fmt::format("zel run: fault {} fired {} time{}\n", fault, times, times == 1 ? "" : "s");
  }
}

}  // namespace

int run_command(const RunOptions& options, std::ostream& out, std::ostream& err) {
  Target target;
  if (auto chosen = choose_target(options, target); !chosen) {
    err << fmt::format("zel run: {}\n", chosen.error());
    return EXIT_USAGE;
  }
  // Both outputs are opened before the device is touched: a run whose trace or report could
  // not be kept is not started.
  bool unwritable = false;
  auto trace_file = open_output(options.trace, "trace", out, err, unwritable);
  auto report_file = open_output(options.report, "report", out, err, unwritable);
  if (unwritable) return reset_memory::EXIT_ERROR;

  std::optional<zel_driver::TracingBackend> tracing;
  if (trace_file) tracing.emplace(*target.backend, trace_file->stream());
  std::optional<RunReport> report;
  if (report_file) report.emplace(*target.backend, target.description, options.arguments);
  Watchers watchers(tracing ? &*tracing : nullptr, report ? &*report : nullptr);
  std::optional<LogPrinter> printer;
  if (options.log) {
    printer.emplace(*options.log, *target.backend, err);
    zel_log::set_sink(&*printer);
  }

  const reset_memory::RunSettings settings{
      .device_path = options.device ? std::string_view(*options.device)
                                    : std::string_view(reset_memory::DEVICE_PATH),
      .observer = tracing || report ? &watchers : nullptr,
  };
  int status = reset_memory::run(options.arguments, tracing ? *tracing : *target.backend, out, err,
                                 settings);
  zel_log::set_sink(nullptr);

  std::vector<std::string> refusals;
  if (target.sim) {
    refusals = target.sim->take_refusals();
    for (const std::string& refusal : refusals) err << "zel_sim: " << refusal << '\n';
    report_firings(options.faults, target.sim->fault_firings(), err);
  }
  if (!refusals.empty()) status = EXIT_REFUSED;

  std::vector<std::string> output_errors;
  close_output(trace_file, "trace", err, output_errors);
  if (report) {
    report_file->stream() << report->finish(status, refusals, output_errors)
                                 .dump(2, ' ', false,
                                       nlohmann::ordered_json::error_handler_t::replace)
                          << '\n';
  }
  close_output(report_file, "report", err, output_errors);
  // An incomplete trace or report never passes for a complete one.
  if (!output_errors.empty() && status == reset_memory::EXIT_OK) status = reset_memory::EXIT_ERROR;
  return status;
}

}  // namespace zel
