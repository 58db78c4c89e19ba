// The command line of `zel`: every subcommand, its options and its help, parsed with CLI11.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <ranges>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "zel/commands.hpp"
#include "zel_base/error.hpp"
#include "zel_base/fd_output.hpp"
#include "zel_base/version.hpp"
#include "zel_driver/autoloader.hpp"
#include "zel_driver/loader.hpp"
#include "zel_driver/transport.hpp"
#include "zel_fixtures/idle_package.hpp"

namespace zel {
namespace {

using zel_base::debug_quote;

constexpr const char* RUN_STATUSES =
    "Exit status: 0 the check passed; 1 an error ended the run (the Error: line), or its trace "
    "or report could not be written whole; 2 usage error, nothing run; 3 the simulated device "
    "refused what the host did; 101 a check failed (the failure report).";
constexpr const char* CHECK_STATUSES =
    "Exit status: 0 a run would get past the three files; 1 the run's own Error: line for the "
    "first problem; 2 usage error.";
constexpr const char* FIXTURES_STATUSES =
    "Exit status: 0 written; 1 a file could not be written; 2 usage error.";
constexpr const char* FAULTS_STATUSES = "Exit status: 0.";
constexpr const char* REPLAY_STATUSES =
    "Exit status: 0, 1, 3 and 101 as the recorded run ended (the run's own lines); 2 usage "
    "error, a trace that cannot be read (one line naming its line), or an input that is not "
    "the recorded one, nothing run; 4 the run departed from the trace (a block naming the "
    "event); 1 also when the replay's trace or report could not be written whole.";
constexpr const char* TRACE_DIFF_STATUSES =
    "Exit status: 0 the traces show the same host events; 1 they differ; 2 usage error, or a "
    "trace that cannot be read (one line naming its line).";
constexpr const char* REPORT_STATUSES =
    "Exit status: 0 every report read and every run passed; 1 a run that did not pass, a report "
    "that could not be read (listed on standard error), no report at all, or an output that could "
    "not be written; 2 usage error.";
constexpr const char* DEVICES_STATUSES =
    "Exit status: 0 there are nodes and every one is usable; 1 there is none, or one is not; 2 "
    "usage error.";
constexpr const char* ZEL_FOOTER =
    "`zel help COMMAND` (or `zel COMMAND --help`) shows a command's options and its exit "
    "statuses.";

// A whole number from `low` to `high`, or a plain word on what is wrong with the text.
CLI::Validator number_from(std::uint64_t low, std::uint64_t high) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error == std::errc::invalid_argument ||
            end != text.data() + text.size()) {
          return fmt::format("{} is not a number", debug_quote(text));
        }
        if (error != std::errc() || value < low || value > high) {
          return fmt::format("{} is not from {} to {}", text, low, high);
        }
        return {};
      },
      "");
}

// The loader takes whole batches of tiles, up to the largest device.
CLI::Validator whole_batches() {
  using zel_driver::BATCH_SLOTS, zel_driver::LOADER_LARGEST_TILE_COUNT;
  const CLI::Validator number = number_from(BATCH_SLOTS, LOADER_LARGEST_TILE_COUNT);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        if (std::string wrong = number(text); !wrong.empty()) return wrong;
        if (std::stoul(text) % BATCH_SLOTS != 0) {
          return fmt::format("{} is not a multiple of {}", text, BATCH_SLOTS);
        }
        return {};
      },
      "");
}

std::optional<zel_log::Level> level_named(const std::string& name) {
  if (name == "trace") return zel_log::Level::Trace;
  if (name == "debug") return zel_log::Level::Debug;
  if (name == "info") return zel_log::Level::Info;
  return std::nullopt;
}

CLI::Validator log_level() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (level_named(text)) return {};
        return fmt::format("{} is not a level (trace, debug or info)", debug_quote(text));
      },
      "");
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
  CampaignOptions campaign;
  ReplayOptions replay;
  std::string log;
  CheckOptions check;
  FixturesOptions fixtures;
  TraceDiffOptions diff;
  ReportOptions report;
  DevicesOptions devices;
};

CLI::App* add_run(CLI::App& app, Parsed& parsed) {
  CLI::App* run = app.add_subcommand(
      "run",
      "Runs reset_memory's whole run, with its output lines and exit status, on the simulated "
      "device (the default) or on a device node (--device), and can trace it, report it and "
      "print the libraries' events.");
  run->footer(RUN_STATUSES);
  auto* device = run->add_option("--device", parsed.campaign.devices,
                                 "Run on this kernel device node (for example /dev/zel0) "
                                 "through the system calls; needs exactly the three files. "
                                 "Repeatable: each device's runs in a process of its own")
                     ->allow_extra_args(false)
                     ->type_name("PATH");
  auto* all = run->add_flag("--all-devices", parsed.campaign.all_devices,
                            "Run on every usable zel* node of /dev (zel devices lists them)");
  auto* sims = run->add_option("--sim-devices", parsed.campaign.sim_devices,
                               "Run on N independent simulated devices side by side, sim0 to "
                               "simN-1 (--fault simK:NAME[=VALUE] for one of them alone)")
                   ->check(number_from(1, 256))
                   ->type_name("N");
  run->add_option("--repeat", parsed.campaign.repeat, "Run N times on each device (default 1)")
      ->check(number_from(1, 1'000'000))
      ->type_name("N");
  run->add_flag("--until-fail", parsed.campaign.until_fail,
                "Stop a device's runs at the first that does not pass");
  run->add_option("--report-dir", parsed.campaign.report_dir,
                  "Write a report of every run into DIR, named host_device_sequence_time.json "
                  "so that the reports of many hosts can be gathered in one folder")
      ->type_name("DIR");
  run->add_option("--host", parsed.run.host,
                  "The name reports give this host (default: its host name), for hosts whose "
                  "names do not tell them apart")
      ->type_name("NAME");
  all->excludes(device);
  sims->excludes(device)->excludes(all);
  auto* tiles = run->add_option("--tiles", parsed.run.tiles,
                                fmt::format("Tiles of the simulated device, 1 to {} (default 1472)",
                                            zel_driver::AUTOLOADER_MAX_TILES))
                    ->check(number_from(1, zel_driver::AUTOLOADER_MAX_TILES))
                    ->type_name("N");
  auto* faults = run->add_option("--fault", parsed.run.faults,
                                 "Switch on a fault of the simulated device (repeatable; "
                                 "`zel faults` lists them)")
                     ->allow_extra_args(false)
                     ->type_name("NAME[=VALUE]");
  device->excludes(tiles)->excludes(faults);
  run->add_option("--trace", parsed.run.trace,
                  "Write every call to the kernel and the device as JSON lines to FILE (- for "
                  "standard output, the tool's own lines then going to standard error)")
      ->type_name("FILE|-");
  run->add_option("--report", parsed.run.report,
                  "Write a JSON report of the run to FILE when it ends (- for standard output, "
                  "the tool's own lines then going to standard error)")
      ->type_name("FILE|-");
  run->add_option("--log", parsed.log,
                  "Print the libraries' events at LEVEL (trace, debug or info) and above to "
                  "standard error, each with the run time")
      ->check(log_level())
      ->type_name("LEVEL");
  run->add_option("ARGUMENTS", parsed.run.arguments,
                  "The tool's arguments, passed as they are: CONFIG PACKAGE BOOTLOADER")
      ->type_name("FILE");
  return run;
}

CLI::App* add_replay(CLI::App& app, Parsed& parsed) {
  CLI::App* replay = app.add_subcommand(
      "replay",
      "Runs reset_memory's whole run again against the answers a traced run got (zel run "
      "--trace, on a board or the simulated device), checking that the stack makes every call "
      "as recorded. Prints the run's own lines, or where it departed from the trace.");
  replay->footer(REPLAY_STATUSES);
  replay->add_option("TRACE", parsed.replay.recorded, "The trace of the recorded run")
      ->required()
      ->type_name("FILE");
  replay
      ->add_option("FILES", parsed.replay.inputs,
                   "The recorded run's inputs, checked against its digests: CONFIG PACKAGE "
                   "BOOTLOADER")
      ->required()
      ->expected(3)
      ->type_name("FILE");
  replay
      ->add_option("--report", parsed.replay.report,
                   "Write a JSON report of the replay to FILE (- for standard output, the "
                   "run's own lines then going to standard error)")
      ->type_name("FILE|-");
  replay
      ->add_option("--log", parsed.log,
                   "Print the libraries' events at LEVEL (trace, debug or info) and above to "
                   "standard error, each with the recorded run's time")
      ->check(log_level())
      ->type_name("LEVEL");
  replay
      ->add_option("--trace", parsed.replay.trace,
                   "Write the replay's own trace to FILE (- for standard output), on the "
                   "recorded run's clock")
      ->type_name("FILE|-");
  return replay;
}

CLI::App* add_check(CLI::App& app, Parsed& parsed) {
  CLI::App* check = app.add_subcommand(
      "check",
      "Reads and checks the three input files exactly as a run would, touching no device, and "
      "prints what they hold, or the run's own error line and the file it concerns.");
  check->footer(CHECK_STATUSES);
  check->add_option("CONFIG", parsed.check.config, "The configuration image")
      ->required()
      ->type_name("FILE");
  check->add_option("PACKAGE", parsed.check.package, "The idle application package")
      ->required()
      ->type_name("FILE");
  check->add_option("BOOTLOADER", parsed.check.bootloader, "The bootloader ELF file")
      ->required()
      ->type_name("FILE");
  check->add_flag("--json", parsed.check.json,
                  "Print one JSON object on standard output, whatever the outcome");
  return check;
}

CLI::App* add_fixtures(CLI::App& app, Parsed& parsed) {
  CLI::App* fixtures = app.add_subcommand(
      "fixtures",
      "Writes sample inputs into DIR: configuration.zelcfg (a realistic configuration capture), "
      "idle.package (an idle application for N tiles) and bootloader.elf.");
  fixtures->footer(FIXTURES_STATUSES);
  fixtures->add_option("DIR", parsed.fixtures.directory, "Where to write them")
      ->required()
      ->type_name("DIR");
  fixtures
      ->add_option("--tiles", parsed.fixtures.tiles,
                   fmt::format("Tiles of the package, a multiple of {} up to {} (default 1472)",
                               zel_driver::BATCH_SLOTS, zel_driver::LOADER_LARGEST_TILE_COUNT))
      ->check(whole_batches())
      ->type_name("N");
  fixtures
      ->add_option("--image-bytes", parsed.fixtures.image_bytes,
                   fmt::format("B bytes of data per tile beyond the idle program, 0 to {}, for "
                               "large packages",
                               zel_fixtures::IDLE_DATA_LARGEST))
      ->check(number_from(0, zel_fixtures::IDLE_DATA_LARGEST))
      ->type_name("B");
  return fixtures;
}

CLI::App* add_devices(CLI::App& app, Parsed& parsed) {
  CLI::App* devices = app.add_subcommand(
      "devices",
      "Lists the ZEL device nodes of the host (zel* in /dev) with their kind, owner, group and "
      "mode, and whether you can open each read/write (opened and closed at once: nothing is "
      "asked of the driver, the device is not touched); and whether the example udev rule is "
      "installed.");
  devices->footer(DEVICES_STATUSES);
  devices->add_option("--dev-dir", parsed.devices.directory, "Look in DIR instead of /dev")
      ->type_name("DIR");
  devices->add_flag("--json", parsed.devices.json, "Print one JSON object on standard output");
  return devices;
}

CLI::App* add_report(CLI::App& app, Parsed& parsed) {
  CLI::App* report = app.add_subcommand(
      "report",
      "Aggregates run reports (zel run --report, --report-dir) of any number of devices and "
      "hosts: a table per device (runs, passes, each failure kind, reset time min/median/p99/max) "
      "and the failures grouped by error and by failing tile and address; as JSON, JUnit XML, "
      "Prometheus text and an HTML page. Runs with faults injected are kept apart from a board's "
      "own.");
  report->footer(REPORT_STATUSES);
  report->add_option("PATHS", parsed.report.paths, "Report files, and folders of them (*.json)")
      ->type_name("PATH");
  report->add_flag("--json", parsed.report.json,
                   "Print the summary as one JSON object on standard output");
  report->add_option("--junit", parsed.report.junit, "Write JUnit XML, a test case per run")
      ->type_name("FILE");
  report
      ->add_option("--prometheus", parsed.report.prometheus,
                   "Write the Prometheus text format for a textfile collector")
      ->type_name("FILE");
  report
      ->add_option("--html", parsed.report.html,
                   "Write one self-contained HTML page with charts per device")
      ->type_name("FILE");
  report->add_flag("--schema", parsed.report.schema,
                   "Print the JSON Schema of the run report (zel-run-report/1) and exit");
  return report;
}

CLI::App* add_trace_diff(CLI::App& app, Parsed& parsed) {
  CLI::App* trace = app.add_subcommand("trace", "Works on traces written by `zel run --trace`.");
  trace->require_subcommand(1);
  trace->footer(TRACE_DIFF_STATUSES);
  CLI::App* diff = trace->add_subcommand(
      "diff",
      "Compares what the host did in two traces: requests, stores and loads in order (repeated "
      "loads of one offset count once). Prints the first divergence with its context.");
  diff->footer(TRACE_DIFF_STATUSES);
  diff->add_option("A", parsed.diff.first, "A trace")->required()->type_name("FILE");
  diff->add_option("B", parsed.diff.second, "Another trace")->required()->type_name("FILE");
  diff->add_flag("--values", parsed.diff.values,
                 "Compare the values loaded in the poison and readback phases too, and name the "
                 "tile and address of the first word read differently");
  return trace;
}

// One run as the tool makes it, or a campaign of many devices or many runs.
int dispatch_run(Parsed& parsed, std::span<const std::string> arguments, std::ostream& out,
                 std::ostream& err) {
  RunOptions& run = parsed.run;
  CampaignOptions& campaign = parsed.campaign;
  run.log = level_named(parsed.log);
  run.command_line.assign({"zel"});
  run.command_line.insert(run.command_line.end(), arguments.begin(), arguments.end());
  const bool many = campaign.devices.size() > 1 || campaign.all_devices ||
                    campaign.sim_devices > 0 || campaign.repeat > 1 || campaign.until_fail ||
                    campaign.report_dir;
  if (!many) {
    if (!campaign.devices.empty()) run.device = campaign.devices.front();
    return run_command(run, out, err);
  }
  // Many runs keep their reports in --report-dir; one trace, report or log cannot hold them.
  for (const auto& [given, option] :
       {std::pair{run.trace.has_value(), "--trace"}, std::pair{run.report.has_value(), "--report"},
        std::pair{run.log.has_value(), "--log"}}) {
    if (given) {
      err << fmt::format("zel run: {} takes a single run; many runs write --report-dir\n", option);
      return EXIT_USAGE;
    }
  }
  if (run.arguments.size() != 3) {
    err << fmt::format("zel run: many runs need exactly CONFIG PACKAGE BOOTLOADER ({} given)\n",
                       run.arguments.size());
    return EXIT_USAGE;
  }
  campaign.run = run;
  campaign.progress_in_place = &err == &std::cerr && ::isatty(STDERR_FILENO) == 1;
  return run_campaign(std::move(campaign), out, err);
}

int dispatch(const CLI::App& app, Parsed& parsed, std::span<const std::string> arguments,
             std::ostream& out, std::ostream& err) {
  const CLI::App* chosen = app.get_subcommands().front();
  const std::string& name = chosen->get_name();
  if (name == "run") return dispatch_run(parsed, arguments, out, err);
  if (name == "replay") {
    parsed.replay.log = level_named(parsed.log);
    parsed.replay.command_line.assign({"zel"});
    parsed.replay.command_line.insert(parsed.replay.command_line.end(), arguments.begin(),
                                      arguments.end());
    return replay_command(parsed.replay, out, err);
  }
  if (name == "check") return check_command(parsed.check, out, err);
  if (name == "fixtures") return fixtures_command(parsed.fixtures, out, err);
  if (name == "faults") return faults_command(out);
  if (name == "report") return report_command(parsed.report, out, err);
  if (name == "devices") return devices_command(parsed.devices, out);
  return trace_diff_command(parsed.diff, out, err);  // the one command under `trace`
}

// The number of single-letter edits that turn one word into the other.
std::size_t edit_distance(std::string_view from, std::string_view to) {
  std::vector<std::size_t> row(to.size() + 1);
  for (std::size_t j = 0; j <= to.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= from.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= to.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (from[i - 1] != to[j - 1])});
      diagonal = above;
    }
  }
  return row[to.size()];
}

// "zel: unknown command "rnu" (did you mean "run"?)", or the list's place when none is close.
std::string unknown_command(const CLI::App& app, const std::string& word) {
  std::string line = fmt::format("zel: unknown command {}", debug_quote(word));
  const CLI::App* nearest = nullptr;
  std::size_t best = 3;  // more edits than this and it is no guess
  for (const CLI::App* command : app.get_subcommands({})) {
    if (const std::size_t distance = edit_distance(word, command->get_name()); distance < best) {
      best = distance;
      nearest = command;
    }
  }
  if (nearest != nullptr) return line + fmt::format(" (did you mean \"{}\"?)", nearest->get_name());
  return line + " (zel help lists them)";
}

// `zel help [COMMAND...]`: the help of the app or of the command named.
int help(const CLI::App& app, std::span<const std::string> words, std::ostream& out,
         std::ostream& err) {
  const CLI::App* at = &app;
  std::string path;  // the words before the command's own, for its usage line
  for (const std::string& word : words) {
    const auto commands = at->get_subcommands({});
    const auto found = std::ranges::find(commands, word, &CLI::App::get_name);
    if (found == commands.end()) {
      err << unknown_command(*at, word) << '\n';
      return EXIT_USAGE;
    }
    path += (path.empty() ? "" : " ") + at->get_name();
    at = *found;
  }
  out << at->help(path);
  return 0;
}

int parse_and_run(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  const std::string version =
      fmt::format("zel {} (source revision {})", zel_base::version(), zel_base::source_revision());
  CLI::App app(
      "The companion command of reset_memory: the tool's run on the simulated device "
      "or a real one, watched (trace, report, log); a traced run replayed; offline checks of "
      "its inputs; sample inputs; the simulated device's faults; trace comparison.",
      "zel");
  app.footer(ZEL_FOOTER);
  app.set_version_flag("--version", version);
  app.require_subcommand(1);
  Parsed parsed;
  add_run(app, parsed);
  add_replay(app, parsed);
  add_check(app, parsed);
  add_fixtures(app, parsed);
  app.add_subcommand("faults",
                     "Lists the fault switches of the simulated device, what each does and how a "
                     "whole run with it ends.")
      ->footer(FAULTS_STATUSES);
  add_report(app, parsed);
  add_devices(app, parsed);
  add_trace_diff(app, parsed);
  app.add_subcommand("help", "Shows the help of zel or of a command: zel help COMMAND.");
  app.add_subcommand("version", "Shows zel's version and source revision.");

  // A command line without a command is asking for the help; a word that is no command gets
  // a guess rather than the parser's view of it.
  if (arguments.empty()) {
    err << app.help();
    return EXIT_USAGE;
  }
  const std::string& first = arguments.front();
  if (first == "help") return help(app, arguments.subspan(1), out, err);
  if (first == "version") {
    out << version << '\n';
    return 0;
  }
  const auto commands = app.get_subcommands({});
  if (!first.starts_with('-') &&
      std::ranges::find(commands, first, &CLI::App::get_name) == commands.end()) {
    err << unknown_command(app, first) << '\n';
    return EXIT_USAGE;
  }

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
  return dispatch(app, parsed, arguments, out, err);
}

}  // namespace

int main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  int status = parse_and_run(arguments, out, err);
  // What a command printed and could not write (a full disk, a closed pipe) is not a success.
  // A run (or a replay of one) has checked its own lines already.
  const bool ran =
      !arguments.empty() && (arguments.front() == "run" || arguments.front() == "replay");
  if (const int lost = zel_base::lost_output(out); lost != 0 && !ran) {
    err << fmt::format("zel: cannot write standard output: {}\n", zel_base::OsError(lost).reason());
    if (status == 0) status = 1;
  }
  return status;
}

}  // namespace zel
