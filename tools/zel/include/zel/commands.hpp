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
};
int run_command(const RunOptions& options, std::ostream& out, std::ostream& err);

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
