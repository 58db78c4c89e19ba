// Times two commands as whole processes, paired: each pair runs the floor command and the
// measured one as fresh processes back to back (alternating which goes first), so both see the
// same load. Prints the medians of wall time, processor time (user and system), peak resident
// size and minor page faults of each, the medians of the per-pair ratios, and the middle half
// of the time ratios (first to third quartile). Processor time holds better than wall time on
// a loaded machine; faults are counted by the kernel, so their ratio holds from machine to
// machine where times do not.
// Usage: zel_paired_runs PAIRS LABEL -- FLOOR... -- MEASURED...
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Sample {
  double seconds;
  double cpu_seconds;
  double peak_mb;
  double minor_faults;
};

// One measure over the pairs: the floor's values, the measured command's, and their ratios.
struct Series {
  std::vector<double> floor, run, ratio;

  void add(double floor_value, double run_value) {
    floor.push_back(floor_value);
    run.push_back(run_value);
    ratio.push_back(run_value / floor_value);
  }
};

double seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Runs `command` with its output and its progress lines discarded; exits the program when it does
// not exit 0.
Sample run(const std::vector<char*>& command) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execv(command[0], command.data());
    std::perror(command[0]);
    std::_Exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "zel_paired_runs: %s failed (status 0x%x)\n", command[0], status);
    std::exit(1);
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  return {wall.count(), seconds(usage.ru_utime) + seconds(usage.ru_stime),
          static_cast<double>(usage.ru_maxrss) / 1024.0, static_cast<double>(usage.ru_minflt)};
}

// The value below which the share `q` of `values` lies, interpolated between neighbours.
double quantile(std::vector<double> values, double q) {
  std::ranges::sort(values);
  const double at = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(at);
  const std::size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (at - static_cast<double>(below)) * (values[above] - values[below]);
}

double median(const std::vector<double>& values) { return quantile(values, 0.5); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::vector<char*>> commands(1);
  for (int i = 4; i < argc; ++i) {
    if (std::string(argv[i]) == "--") {
      commands.back().push_back(nullptr);
      commands.emplace_back();
    } else {
      commands.back().push_back(argv[i]);
    }
  }
  commands.back().push_back(nullptr);
  const int pairs = argc > 1 ? std::atoi(argv[1]) : 0;
  if (argc < 4 || std::string(argv[3]) != "--" || commands.size() != 2 || commands[0].size() < 2 ||
      commands[1].size() < 2 || pairs < 1) {
    std::fprintf(stderr, "usage: zel_paired_runs PAIRS LABEL -- FLOOR... -- MEASURED...\n");
    return 2;
  }
  Series time, cpu, peak, faults;
  for (int pair = 0; pair < pairs; ++pair) {
    const bool floor_first = pair % 2 == 0;
    const Sample first = run(commands[floor_first ? 0 : 1]);
    const Sample second = run(commands[floor_first ? 1 : 0]);
    const Sample& floor = floor_first ? first : second;
    const Sample& measured = floor_first ? second : first;
    time.add(floor.seconds, measured.seconds);
    cpu.add(floor.cpu_seconds, measured.cpu_seconds);
    peak.add(floor.peak_mb, measured.peak_mb);
    faults.add(floor.minor_faults, measured.minor_faults);
  }
  // The middle half of the time ratios says how much the load moved them.
  std::printf(
      "%-22s time: run %7.1f ms  floor %7.1f ms  %.2fx (%.2fx-%.2fx)  |  cpu: %7.1f ms  %7.1f ms  "
      "%.2fx  |  peak: %6.1f MB  %6.1f MB  %.2fx  |  minor faults: %.0f  %.0f  %.2fx  (medians "
      "of %d pairs)\n",
      argv[2], 1000 * median(time.run), 1000 * median(time.floor), median(time.ratio),
      quantile(time.ratio, 0.25), quantile(time.ratio, 0.75), 1000 * median(cpu.run),
      1000 * median(cpu.floor), median(cpu.ratio), median(peak.run), median(peak.floor),
      median(peak.ratio), median(faults.run), median(faults.floor), median(faults.ratio), pairs);
  return 0;
}
