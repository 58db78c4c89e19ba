#include <fstream>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "reset_memory/run.hpp"
#include "zel_log/log.hpp"
#include "zel_sim/sim_device.hpp"
#include "zelsim/commands.hpp"
#include "zelsim/fault_catalog.hpp"

namespace zelsim {
namespace {

// Prints the libraries' events at `minimum` and above, one line each.
class PrintingSink final : public zel_log::Sink {
 public:
  PrintingSink(zel_log::Level minimum, std::ostream& out) : minimum_(minimum), out_(out) {}
  void write(const zel_log::Event& event) override {
    if (event.level >= minimum_) out_ << zel_log::format_event(event) << '\n';
  }

 private:
  zel_log::Level minimum_;
  std::ostream& out_;
};

std::optional<zel_log::Level> parse_level(std::string_view text) {
  if (text == "trace") return zel_log::Level::Trace;
  if (text == "debug") return zel_log::Level::Debug;
  if (text == "info") return zel_log::Level::Info;
  return std::nullopt;
}

void list_faults(std::ostream& out) {
  for (const FaultSwitch& fault : fault_catalog()) {
    // An optional value shows as NAME[=VALUE], a required one as NAME=VALUE.
    std::string shown(fault.name);
    if (fault.value.starts_with('[')) {
      shown += fmt::format("[={}", fault.value.substr(1));
    } else if (!fault.value.empty()) {
      shown += fmt::format("={}", fault.value);
    }
    out << fmt::format("{:<40} {}\n", shown, fault.help);
  }
}

struct RunOptions {
  zel_sim::SimConfig config;
  zel_sim::Faults faults;
  std::optional<std::string> trace_path;
  std::optional<zel_log::Level> log_level;
  std::vector<std::string> positional;
};

// Options come first; everything from the first other argument on goes to the run as it is.
std::expected<RunOptions, std::string> parse_options(std::span<const std::string> arguments) {
  RunOptions options;
  std::size_t i = 0;
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool has_value = i + 1 < arguments.size();
    if (argument == "--") {
      ++i;
      break;
    } else if (argument == "--fault" && has_value) {
      if (auto applied = apply_fault(arguments[++i], options.config, options.faults); !applied) {
        return std::unexpected(applied.error());
      }
    } else if (argument == "--trace" && has_value) {
      options.trace_path = arguments[++i];
      options.config.trace = true;
    } else if (argument == "--log" && has_value) {
      options.log_level = parse_level(arguments[++i]);
      if (!options.log_level) return std::unexpected("--log takes trace, debug or info");
    } else if (argument.starts_with("--")) {
      return std::unexpected(fmt::format("unknown option {}", argument));
    } else {
      break;
    }
  }
  options.positional.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
  return options;
}

}  // namespace

int run_command(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  if (arguments.size() == 1 && arguments[0] == "--list-faults") {
    list_faults(out);
    return 0;
  }
  auto options = parse_options(arguments);
  if (!options) {
    err << fmt::format("zelsim run: {}\n", options.error());
    return 2;
  }
  zel_sim::SimDevice sim(options->config);
  sim.faults() = options->faults;

  std::optional<PrintingSink> sink;
  if (options->log_level) {
    sink.emplace(*options->log_level, err);
    zel_log::set_sink(&*sink);
  }
  const int status = reset_memory::run(options->positional, sim, out, err);
  if (sink) zel_log::set_sink(nullptr);

  for (const std::string& report : sim.take_refusals()) err << "zel_sim: " << report << '\n';
  if (options->trace_path) {
    std::ofstream trace(*options->trace_path, std::ios::trunc);
    sim.trace().write_json_lines(trace);
    if (!trace) err << fmt::format("zelsim run: cannot write trace {}\n", *options->trace_path);
  }
  return status;
}

}  // namespace zelsim
