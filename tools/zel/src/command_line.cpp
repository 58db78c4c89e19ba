// The command line of `zel`: every subcommand, its options and its help, parsed with CLI11.
#include <algorithm>
#include <ranges>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "zel/commands.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_base/version.hpp"
#include "zel_driver/autoloader.hpp"
#include "zel_driver/loader.hpp"
#include "zel_driver/transport.hpp"
#include "zel_fixtures/idle_package.hpp"

namespace zel {
namespace {

constexpr const char* STATUS_FOOTER =
    "Exit status: 0 pass, 1 error, 2 usage error, 3 the simulated device refused what the "
    "host did, 101 a check failed.";

// The syntax of a fault value, checked while parsing; whether it can fire on the device
// chosen is checked once the tile count is known.
CLI::Validator fault_syntax() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        zel_sim::SimConfig config{.tile_count = zel_driver::AUTOLOADER_MAX_TILES};
        zel_sim::Faults faults;
        auto applied = apply_fault(text, config, faults);
        return applied ? std::string() : applied.error();
      },
      "NAME[=VALUE]", "fault");
}

// The loader takes whole batches of tiles, up to the largest device.
CLI::Validator whole_batches() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        std::uint32_t tiles = 0;
        using zel_driver::BATCH_SLOTS, zel_driver::LOADER_LARGEST_TILE_COUNT;
        if (!CLI::detail::lexical_cast(text, tiles) || tiles == 0 || tiles % BATCH_SLOTS != 0 ||
            tiles > LOADER_LARGEST_TILE_COUNT) {
          return fmt::format("takes a multiple of {0} from {0} to {1}", BATCH_SLOTS,
                             LOADER_LARGEST_TILE_COUNT);
        }
        return {};
      },
      "N", "whole batches");
}

std::optional<zel_log::Level> level_named(const std::string& name) {
  if (name == "trace") return zel_log::Level::Trace;
  if (name == "debug") return zel_log::Level::Debug;
  if (name == "info") return zel_log::Level::Info;
  return std::nullopt;
}

// "zel run", "zel trace diff": the command the parser had reached.
std::string command_name(const CLI::App& app) {
  std::string name = "zel";
  for (const CLI::App* at = &app; !at->get_subcommands().empty();) {
    at = at->get_subcommands().front();
    name += " " + at->get_name();
  }
  return name;
}

// One line, whatever the parser's message holds.
std::string one_line(std::string text) {
  std::ranges::replace(text, '\n', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

struct Parsed {
  RunOptions run;
  std::string log;
  CheckOptions check;
  FixturesOptions fixtures;
  TraceDiffOptions diff;
};

CLI::App* add_run(CLI::App& app, Parsed& parsed) {
  CLI::App* run = app.add_subcommand(
      "run",
      "Runs reset_memory's whole run, with its output lines and exit status, on the simulated "
      "device (the default) or on a device node (--device), and can trace it, report it and "
      "print the libraries' events.");
  run->footer(STATUS_FOOTER);
  auto* device = run->add_option(
      "--device", parsed.run.device,
      "Run on this kernel device node (for example /dev/zel0) through the system calls");
  auto* tiles =
      run->add_option("--tiles", parsed.run.tiles, "Tiles of the simulated device (default 1472)")
          ->check(CLI::Range(std::size_t{1}, zel_driver::AUTOLOADER_MAX_TILES));
  auto* faults = run->add_option("--fault", parsed.run.faults,
                                 "Switch on a fault of the simulated device (repeatable; "
                                 "`zel faults` lists them)")
                     ->check(fault_syntax())
                     ->allow_extra_args(false);
  device->excludes(tiles)->excludes(faults);
  run->add_option("--trace", parsed.run.trace,
                  "Write every call to the kernel and the device as JSON lines to FILE (- for "
                  "standard output)")
      ->type_name("FILE|-");
  run->add_option("--report", parsed.run.report,
                  "Write a JSON report of the run to FILE (- for standard output) when it ends")
      ->type_name("FILE|-");
  run->add_option("--log", parsed.log,
                  "Print the libraries' events at LEVEL and above to "
                  "standard error, each with the run time")
      ->check(CLI::IsMember({"trace", "debug", "info"}))
      ->type_name("LEVEL");
  run->add_option("ARGUMENTS", parsed.run.arguments,
                  "The tool's arguments, passed as they are: CONFIG PACKAGE BOOTLOADER")
      ->type_name("FILE");
  return run;
}

CLI::App* add_check(CLI::App& app, Parsed& parsed) {
  CLI::App* check = app.add_subcommand(
      "check",
      "Reads and checks the three input files exactly as a run would, touching no device, and "
      "prints what they hold. Exit 0 when a run would get past all three files; otherwise the "
      "run's own error line and exit 1.");
  check->add_option("CONFIG", parsed.check.config, "The configuration image")
      ->required()
      ->type_name("FILE");
  check->add_option("PACKAGE", parsed.check.package, "The idle application package")
      ->required()
      ->type_name("FILE");
  check->add_option("BOOTLOADER", parsed.check.bootloader, "The bootloader ELF file")
      ->required()
      ->type_name("FILE");
  check->add_flag("--json", parsed.check.json, "Print the summary as one JSON object");
  return check;
}

CLI::App* add_fixtures(CLI::App& app, Parsed& parsed) {
  CLI::App* fixtures = app.add_subcommand(
      "fixtures",
      "Writes sample inputs into DIR: configuration.zelcfg (a realistic configuration capture), "
      "idle.package (an idle application for N tiles) and bootloader.elf.");
  fixtures->add_option("DIR", parsed.fixtures.directory, "Where to write them")
      ->required()
      ->type_name("PATH");
  fixtures->add_option("--tiles", parsed.fixtures.tiles, "Tiles of the package (default 1472)")
      ->check(whole_batches());
  fixtures
      ->add_option("--image-bytes", parsed.fixtures.image_bytes,
                   "B bytes of data per tile beyond the idle program, for large packages")
      ->check(CLI::Range(0u, zel_fixtures::IDLE_DATA_LARGEST))
      ->type_name("B");
  return fixtures;
}

int dispatch(const CLI::App& app, Parsed& parsed, std::ostream& out, std::ostream& err) {
  const CLI::App* chosen = app.get_subcommands().front();
  const std::string& name = chosen->get_name();
  if (name == "run") {
    parsed.run.log = level_named(parsed.log);
    return run_command(parsed.run, out, err);
  }
  if (name == "check") return check_command(parsed.check, out, err);
  if (name == "fixtures") return fixtures_command(parsed.fixtures, out, err);
  if (name == "faults") return faults_command(out);
  return trace_diff_command(parsed.diff, out, err);  // the one command under `trace`
}

}  // namespace

int main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  CLI::App app(
      "The companion command of reset_memory: the tool's run on the simulated device "
      "or a real one, watched (trace, report, log); offline checks of its inputs; "
      "sample inputs; the simulated device's faults; trace comparison.",
      "zel");
  app.footer(STATUS_FOOTER);
  app.set_version_flag("--version", fmt::format("zel {} (source revision {})", zel_base::version(),
                                                zel_base::source_revision()));
  app.require_subcommand(1);
  Parsed parsed;
  add_run(app, parsed);
  add_check(app, parsed);
  add_fixtures(app, parsed);
  app.add_subcommand("faults",
                     "Lists the fault switches of the simulated device, what each does and how a "
                     "whole run with it ends.");
  CLI::App* trace = app.add_subcommand("trace", "Works on traces written by `zel run --trace`.");
  trace->require_subcommand(1);
  CLI::App* diff = trace->add_subcommand(
      "diff",
      "Compares what the host did in two traces: requests, stores and loads in order (repeated "
      "loads of one offset count once). Prints the first divergence with its context. Exit 0 "
      "when they match, 1 when not, 2 when a trace cannot be read.");
  diff->add_option("A", parsed.diff.first, "A trace")->required()->type_name("FILE");
  diff->add_option("B", parsed.diff.second, "Another trace")->required()->type_name("FILE");

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error, out, err);  // --help, --version
    err << fmt::format("{}: {} ({} --help)\n", command_name(app), one_line(error.what()),
                       command_name(app));
    return EXIT_USAGE;
  }
  return dispatch(app, parsed, out, err);
}

}  // namespace zel
