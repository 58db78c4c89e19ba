#include <algorithm>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "reset_memory/run.hpp"
#include "run_session.hpp"
#include "zel/commands.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/system_backend.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel {
namespace {

using zel_base::debug_quote;

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

// What must hold before anything is opened: a usage error otherwise.
[[nodiscard]] std::expected<void, std::string> check_usage(const RunOptions& options) {
  if (auto outputs = check_outputs(options.trace, options.report); !outputs) return outputs;
  // A real device is reset as soon as the run starts: a missing or extra argument is caught
  // before that, not after.
  if (options.device && options.arguments.size() != 3) {
    return std::unexpected(
        fmt::format("with --device, give exactly CONFIG PACKAGE BOOTLOADER ({} given)",
                    options.arguments.size()));
  }
  return {};
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

}  // namespace

int run_command(const RunOptions& options, std::ostream& out, std::ostream& err) {
  Target target;
  auto usage = check_usage(options);
  if (usage) usage = choose_target(options, target);
  if (!usage) {
    err << fmt::format("zel run: {}\n", usage.error());
    return EXIT_USAGE;
  }
  auto session = RunSession::open(
      {
          .command = "zel run",
          .trace = options.trace,
          .report = options.report,
          .log = options.log,
          .identity = {.host = options.host.value_or(host_name()),
                       .command_line = options.command_line,
                       .device = target.description,
                       .sequence = options.sequence},
          .arguments = options.arguments,
      },
      *target.backend, out, err);
  if (!session) return reset_memory::EXIT_ERROR;
  RunOutcome outcome;
  outcome.exit_status =
      session->run(target.node_path, session->tool_out(), err, err, options.device.has_value());
  outcome.faults = nlohmann::ordered_json::array();
  if (target.sim) {
    outcome.refusals = target.sim->take_refusals();
    print_refusals(outcome.refusals, err);
    outcome.faults =
        report_firings(target.faults, target.sim->fault_firings(), err, outcome.warnings);
  }
  if (!outcome.refusals.empty()) outcome.exit_status = EXIT_REFUSED;
  return session->close(outcome);
}

}  // namespace zel
