// `zel run` over many devices and many runs: each device's runs in a process of its own, the
// devices side by side, one report per run, and a summary of them all at the end.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <streambuf>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "device_nodes.hpp"
#include "report_reading.hpp"
#include "report_summary.hpp"
#include "run_report.hpp"
#include "zel/commands.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_base/error.hpp"
#include "zel_base/os_error.hpp"
#include "zel_base/try.hpp"

namespace zel {
namespace {

using zel_base::debug_quote;

// Output nobody reads: a run's own lines, when its report says everything.
class NullBuffer final : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

// One device of the campaign: the options of its runs, and how far they have got.
struct Worker {
  RunOptions run;
  std::string name;  // as the progress and the report names show it
  pid_t pid = -1;
  int progress = -1;  // the read end of the pipe the worker reports each run on
  std::uint64_t done = 0, passed = 0;
  std::string partial;  // what came of a line not yet whole
  std::vector<std::string> reports;
};

// A name part for a file: letters, digits, '.', '-' and '_' kept, everything else '-'.
std::string file_part(std::string_view text) {
  std::string part;
  for (const char c : text) {
    part += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' ? c : '-';
  }
  while (part.starts_with('-')) part.erase(0, 1);
  return part.empty() ? std::string("device") : part;
}

// host_device_sequence_time.json: reports of many hosts and devices gathered in one folder
// never collide.
std::string report_name(const Worker& worker, std::uint64_t sequence) {
  const auto now =
      std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  return fmt::format("{}_{}_{:06}_{:%Y%m%dT%H%M%S}.{:03}Z.json",
                     file_part(worker.run.host.value_or(host_name())), file_part(worker.name),
                     sequence, fmt::gmtime(std::chrono::system_clock::to_time_t(now)),
                     now.time_since_epoch().count() % 1000);
}

// In the worker's process: its runs one after the other, each reported on `progress` as
// "STATUS REPORT-PATH" once it has ended.
[[noreturn]] void work(Worker& worker, const CampaignOptions& options, int progress) {
  NullBuffer discard;
  std::ostream nowhere(&discard);
  for (std::uint64_t sequence = 1; sequence <= options.repeat; ++sequence) {
    RunOptions run = worker.run;
    run.sequence = sequence;
    run.report =
        (std::filesystem::path(*options.report_dir) / report_name(worker, sequence)).string();
    const int status = run_command(run, nowhere, nowhere);
    const std::string line = fmt::format("{} {}\n", status, *run.report);
    if (::write(progress, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
    if (options.until_fail && status != 0) break;
  }
  ::_exit(0);
}

std::expected<void, std::string> start(Worker& worker, const CampaignOptions& options) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    return std::unexpected(zel_base::OsError::last().reason());
  }
  worker.pid = ::fork();
  if (worker.pid < 0) return std::unexpected(zel_base::OsError::last().reason());
  if (worker.pid == 0) {
    ::close(ends[0]);
    work(worker, options, ends[1]);
  }
  ::close(ends[1]);
  worker.progress = ends[0];
  return {};
}

// Takes what a worker reported; false once it has finished.
bool take_progress(Worker& worker) {
  char buffer[4096];
  const ssize_t got = ::read(worker.progress, buffer, sizeof buffer);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) {
    ::close(std::exchange(worker.progress, -1));
    return false;
  }
  worker.partial.append(buffer, static_cast<std::size_t>(got));
  for (std::size_t end; (end = worker.partial.find('\n')) != std::string::npos;) {
    const std::string line = worker.partial.substr(0, end);
    worker.partial.erase(0, end + 1);
    const std::size_t space = line.find(' ');
    ++worker.done;
    if (line.substr(0, space) == "0") ++worker.passed;
    worker.reports.push_back(line.substr(space + 1));
  }
  return true;
}

std::string progress_line(const Worker& worker, const CampaignOptions& options) {
  return fmt::format("{}: {} of {} runs, {} passed{}", shown(worker.name), worker.done,
                     options.repeat, worker.passed,
                     worker.done == worker.passed ? "" : ", some did not");
}

// On a terminal, one line per device redrawn in place; otherwise a line per device when its
// runs are over.
class Progress {
 public:
  Progress(std::vector<Worker>& workers, const CampaignOptions& options, std::ostream& err)
      : workers_(workers), options_(options), err_(err) {}

  void update(const Worker& changed, bool finished) {
    if (!options_.progress_in_place) {
      if (finished) err_ << progress_line(changed, options_) << '\n';
      return;
    }
    if (drawn_) err_ << fmt::format("\x1b[{}A", workers_.size());
    for (const Worker& worker : workers_)
      err_ << "\r\x1b[K" << progress_line(worker, options_) << '\n';
    err_ << std::flush;
    drawn_ = true;
  }

 private:
  std::vector<Worker>& workers_;
  const CampaignOptions& options_;
  std::ostream& err_;
  bool drawn_ = false;
};

// How a worker's process ended: its wait status.
int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// A worker's process ends by itself only after its runs; one that was killed or crashed is
// said by name, not left for the summary's counts to hint at.
void said_if_ended_early(const Worker& worker, int status, const CampaignOptions& options,
                         std::ostream& err) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  const std::string how =
      WIFSIGNALED(status)
          ? fmt::format("killed by signal {} ({})", WTERMSIG(status), ::strsignal(WTERMSIG(status)))
          : fmt::format("exit status {}", WEXITSTATUS(status));
  err << fmt::format("zel run: the runs of {} ended after {} of {}: {}\n", shown(worker.name),
                     worker.done, options.repeat, how);
}

// Until every worker has finished and been waited for.
void follow(std::vector<Worker>& workers, const CampaignOptions& options, std::ostream& err) {
  Progress progress(workers, options, err);
  for (;;) {
    std::vector<pollfd> open;
    std::vector<Worker*> of;
    for (Worker& worker : workers) {
      if (worker.progress < 0) continue;
      open.push_back({.fd = worker.progress, .events = POLLIN, .revents = 0});
      of.push_back(&worker);
    }
    if (open.empty()) break;
    if (::poll(open.data(), open.size(), -1) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < open.size(); ++i) {
      if (open[i].revents == 0) continue;
      const bool running = take_progress(*of[i]);
      progress.update(*of[i], !running);
    }
  }
  for (const Worker& worker : workers) {
    if (worker.pid > 0) said_if_ended_early(worker, wait_for(worker.pid), options, err);
  }
}

// The devices of the campaign, each as the single run would take it.
std::expected<std::vector<Worker>, std::string> plan(const CampaignOptions& options) {
  std::vector<std::string> nodes;
  const auto chosen_already = [&](const std::string& path) {
    return std::ranges::any_of(nodes,
                               [&](const std::string& node) { return same_device(node, path); });
  };
  for (const std::string& node : options.devices) {
    if (chosen_already(node)) {
      return std::unexpected(fmt::format(
          "--device {} is a device given already: its runs would find it held by the other's",
          debug_quote(node)));
    }
    nodes.push_back(node);
  }
  if (options.all_devices) {
    // A device with a second name (a link udev made) is run once.
    for (const DeviceNode& node : find_device_nodes(options.dev_dir)) {
      if (node.usable() && !chosen_already(node.path)) nodes.push_back(node.path);
    }
    if (nodes.empty()) {
      return std::unexpected(
          fmt::format("no usable zel* node in {} (zel devices)", debug_quote(options.dev_dir)));
    }
  }
  std::vector<Worker> workers;
  for (const std::string& node : nodes) {
    Worker worker{.run = options.run, .name = node};
    worker.run.device = node;
    workers.push_back(std::move(worker));
  }
  const std::uint32_t sims = nodes.empty() ? std::max<std::uint32_t>(options.sim_devices, 1) : 0;
  for (std::uint32_t index = 0; index < sims; ++index) {
    Worker worker{.run = options.run, .name = fmt::format("sim{}", index)};
    worker.run.sim_index = index;
    ZEL_TRY_ASSIGN(worker.run.faults, faults_for(options.run.faults, index, sims));
    workers.push_back(std::move(worker));
  }
  return workers;
}

}  // namespace

int run_campaign(CampaignOptions options, std::ostream& out, std::ostream& err) {
  auto workers = plan(options);
  if (!workers) {
    err << fmt::format("zel run: {}\n", workers.error());
    return EXIT_USAGE;
  }
  // Without a folder for them the reports are only the summary's, kept while it is made.
  std::optional<std::filesystem::path> scratch;
  if (!options.report_dir) {
    std::string pattern = (std::filesystem::temp_directory_path() / "zel-run-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      err << fmt::format("zel run: cannot make a folder for the reports: {}\n",
                         zel_base::OsError::last().reason());
      return 1;
    }
    scratch = pattern;
    options.report_dir = pattern;
  } else if (std::error_code error;
             !std::filesystem::create_directories(*options.report_dir, error) && error) {
    err << fmt::format("zel run: cannot create {}: {}\n", debug_quote(*options.report_dir),
                       error.message());
    return 1;
  }
  for (Worker& worker : *workers) {
    if (auto started = start(worker, options); !started) {
      err << fmt::format("zel run: cannot start the runs of {}: {}\n", worker.name,
                         started.error());
      follow(*workers, options, err);
      return 1;
    }
  }
  follow(*workers, options, err);

  std::vector<std::string> reports;
  for (const Worker& worker : *workers)
    reports.insert(reports.end(), worker.reports.begin(), worker.reports.end());
  const ReadReports read = read_reports(reports);
  const Summary summary = summarize(read.runs);
  out << '\n';
  print_summary(summary, out);
  for (const UnreadableReport& report : read.unreadable) {
    err << fmt::format("zel run: a run left no report {}: {}\n", debug_quote(report.path),
                       report.reason);
  }
  if (scratch) std::filesystem::remove_all(*scratch);
  const bool all_passed = read.unreadable.empty() && summary.passes == summary.runs &&
                          summary.runs == workers->size() * options.repeat;
  return all_passed ? 0 : 1;
}

}  // namespace zel
