#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "zel_log/log.hpp"

// `zel`: the companion command of reset_memory, for the lab and CI.
namespace zel {

// Exit statuses of zel besides the tool's own (0, 1, 101).
inline constexpr int EXIT_USAGE = 2;
// The simulated device refused something the host did: the run is not a pass.
inline constexpr int EXIT_REFUSED = 3;
// A replay departed from its trace: the stack made another call than the recorded run.
inline constexpr int EXIT_DIVERGED = 4;

// `zel COMMAND ...`: parses the command line and runs the command. Returns the exit status.
int main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

struct RunOptions {
  std::optional<std::string> device;  // a device node; none: the simulated device
  std::uint32_t tiles = 1472;         // of the simulated device
  std::vector<std::string> faults;    // NAME[=VALUE] each
  std::optional<std::string> trace;   // a path, or "-" for standard output
  std::optional<std::string> report;  // the same
  std::optional<zel_log::Level> log;
  std::vector<std::string> arguments;     // passed to the run as they are
  std::vector<std::string> command_line;  // "zel", "run", ... as given, for the report
  std::uint32_t sim_index = 0;            // which of several simulated devices: "sim0", ...
  std::uint64_t sequence = 1;             // of the device's runs
  std::optional<std::string> host;        // the name reports give the host; its own by default
};
int run_command(const RunOptions& options, std::ostream& out, std::ostream& err);

// Many devices, many runs: each device's runs in a process of its own, side by side, a report
// per run in `report_dir`, and a summary of them all on `out`.
struct CampaignOptions {
  RunOptions run;                    // what every run takes; no trace, report or log
  std::vector<std::string> devices;  // device nodes
  bool all_devices = false;          // every usable zel* node of `dev_dir`
  std::string dev_dir = "/dev";
  std::uint32_t sim_devices = 0;  // simulated devices, when no node is named
  std::uint64_t repeat = 1;       // runs per device
  bool until_fail = false;        // a device stops at its first run that does not pass
  std::optional<std::string> report_dir;
  bool progress_in_place = false;  // standard error is a terminal
};
// 0 when every run passed; 1 otherwise (the summary says which); 2 usage error.
int run_campaign(CampaignOptions options, std::ostream& out, std::ostream& err);

struct CheckOptions {
  std::string config, package, bootloader;
  bool json = false;
};
int check_command(const CheckOptions& options, std::ostream& out, std::ostream& err);

struct FixturesOptions {
  std::string directory;
  std::uint32_t tiles = 1472;
  std::uint32_t image_bytes = 0;  // data bytes per tile beyond the idle program
};
int fixtures_command(const FixturesOptions& options, std::ostream& out, std::ostream& err);

int faults_command(std::ostream& out);

struct DevicesOptions {
  std::string directory = "/dev";
  bool json = false;
};
// Lists the zel* nodes of `directory` and whether each is usable: 0 when all are, 1 when one
// is not or there is none.
int devices_command(const DevicesOptions& options, std::ostream& out);

struct ReportOptions {
  std::vector<std::string> paths;  // report files and folders of them
  bool json = false;
  std::optional<std::string> junit, prometheus, html;
  bool schema = false;  // print the run report's schema instead
};
int report_command(const ReportOptions& options, std::ostream& out, std::ostream& err);

struct ReplayOptions {
  std::string recorded;               // the trace replayed
  std::vector<std::string> inputs;    // CONFIG PACKAGE BOOTLOADER
  std::optional<std::string> trace;   // of the replay: a path, or "-" for standard output
  std::optional<std::string> report;  // the same
  std::optional<zel_log::Level> log;
  std::vector<std::string> command_line;  // "zel", "replay", ... as given, for the report
};
int replay_command(const ReplayOptions& options, std::ostream& out, std::ostream& err);

struct TraceDiffOptions {
  std::string first, second;
  bool values = false;  // compare the values loaded in the poison and readback phases too
};
int trace_diff_command(const TraceDiffOptions& options, std::ostream& out, std::ostream& err);

}  // namespace zel
