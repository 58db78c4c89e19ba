#include "report_reading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "run_report.hpp"
#include "zel_base/error.hpp"
#include "zel_base/os_error.hpp"
#include "zel_base/unique_fd.hpp"

namespace zel {
namespace {

using nlohmann::json;

// A report is a page of JSON; a file far larger is not one, and is not read whole.
constexpr std::size_t REPORT_LIMIT = 16 << 20;

// A report is read field by field and every field may be missing or of another type: nothing
// here indexes a member it has not found, so a malformed report is read as far as it goes.
const json* member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found != object.end() ? &*found : nullptr;
}

// The text at `key`; `fallback` when there is none, or it is empty.
std::string text_at(const json& object, const char* key, std::string fallback = {}) {
  const json* found = member(object, key);
  if (found == nullptr || !found->is_string() || found->get_ref<const std::string&>().empty()) {
    return fallback;
  }
  return found->get<std::string>();
}

std::optional<std::uint64_t> unsigned_at(const json& object, const char* key) {
  const json* found = member(object, key);
  if (found == nullptr || !found->is_number_unsigned()) return std::nullopt;
  return found->get<std::uint64_t>();
}

// Where the run's last phase ended on its clock: how long the run took.
std::optional<std::uint64_t> run_duration(const json& report) {
  const json* phases = member(report, "phases");
  if (phases == nullptr || !phases->is_array() || phases->empty()) return std::nullopt;
  const auto start = unsigned_at(phases->back(), "start_ns");
  const auto duration = unsigned_at(phases->back(), "duration_ns");
  if (!start || !duration) return std::nullopt;
  return *start + *duration;
}

std::vector<FailedWord> failed_words(const json& failure) {
  std::vector<FailedWord> words;
  const json* listed = member(failure, "words");
  if (listed == nullptr || !listed->is_array()) return words;
  for (const json& word : *listed) {
    // A word without its tile names no place on the board.
    if (const auto tile = unsigned_at(word, "tile")) {
      words.push_back({*tile, text_at(word, "address"), text_at(word, "value")});
    }
  }
  return words;
}

// "2026-12-10T22:05:01.123Z" in seconds since 1970.
std::optional<double> seconds_of(const std::string& text) {
  std::tm time{};
  int milliseconds = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &time.tm_year, &time.tm_mon,
                  &time.tm_mday, &time.tm_hour, &time.tm_min, &time.tm_sec, &milliseconds) != 7) {
    return std::nullopt;
  }
  time.tm_year -= 1900;
  time.tm_mon -= 1;
  return static_cast<double>(::timegm(&time)) + milliseconds / 1000.0;
}

// The device's name on its host: its identity, or what a report of zel 0.5 says of it.
std::string device_of(const json& report) {
  const json* device = member(report, "device");
  if (device == nullptr) return "unknown";
  std::string identity = text_at(*device, "identity");
  if (identity.empty()) identity = text_at(*device, "path");
  return identity.empty() ? text_at(*device, "kind", "unknown") : identity;
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::optional<std::string> read_file(const std::string& path, std::string& reason) {
  const zel_base::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status;
  if (!file || ::fstat(file.get(), &status) != 0) {
    reason = zel_base::OsError::last().reason();
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = "not a regular file";
    return std::nullopt;
  }
  if (static_cast<std::uint64_t>(status.st_size) > REPORT_LIMIT) {
    reason = fmt::format("larger than {} bytes: not a run report", REPORT_LIMIT);
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = ::read(file.get(), text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      reason = zel_base::OsError::last().reason();
      return std::nullopt;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  text.resize(done);
  return text;
}

// The files `path` names: itself, or a folder's *.json files at any depth, sorted.
void collect(const std::string& path, std::vector<std::string>& files,
             std::vector<UnreadableReport>& unreadable) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) {
    files.push_back(path);
    return;
  }
  std::vector<std::string> found;
  std::filesystem::recursive_directory_iterator walk(path, error);
  for (; !error && walk != std::filesystem::recursive_directory_iterator(); walk.increment(error)) {
    if (walk->is_regular_file() && walk->path().extension() == ".json") {
      found.push_back(walk->path().string());
    }
  }
  if (error) unreadable.push_back({path, error.message()});
  std::ranges::sort(found);
  files.insert(files.end(), found.begin(), found.end());
}

}  // namespace

std::optional<RunRecord> parse_report(std::string_view text, std::string path,
                                      std::string& reason) {
  const json report = json::parse(text, nullptr, false);
  if (report.is_discarded() || !report.is_object()) {
    reason = "not JSON";
    return std::nullopt;
  }
  const std::string schema = text_at(report, "schema");
  if (schema != REPORT_SCHEMA) {
    reason = schema.empty()
                 ? std::string("no schema: not a run report")
                 : fmt::format("schema {} is not {}", zel_base::debug_quote(schema), REPORT_SCHEMA);
    return std::nullopt;
  }
  RunRecord run{.path = std::move(path)};
  run.result = text_at(report, "result");
  const json* exit_status = member(report, "exit_status");
  if (run.result.empty() || exit_status == nullptr || !exit_status->is_number_integer()) {
    reason = "no result or exit status";
    return std::nullopt;
  }
  if (std::ranges::find(RUN_RESULTS, run.result) == RUN_RESULTS.end()) {
    reason = fmt::format("result {} is none of pass, error, check-failed, refused",
                         zel_base::debug_quote(run.result));
    return std::nullopt;
  }
  run.exit_status = exit_status->get<std::int64_t>();
  run.host = text_at(report, "host", "unknown");
  run.device = device_of(report);
  const json* faults = member(report, "faults");
  run.injected = faults != nullptr && faults->is_array() && !faults->empty();
  run.started_at = text_at(report, "started_at");
  run.started = seconds_of(run.started_at);
  run.sequence = unsigned_at(report, "sequence").value_or(1);
  run.duration_ns = run_duration(report);
  if (const json* reset = member(report, "reset"))
    run.reset_ns = unsigned_at(*reset, "duration_ns");
  if (const json* error = member(report, "error")) run.error = text_at(*error, "debug");
  if (const json* failure = member(report, "check_failure")) {
    run.report = text_at(*failure, "report");
    if (run.error.empty()) run.error = first_line(run.report);
    run.words = failed_words(*failure);
  }
  const json* refusals = member(report, "refusals");
  if (run.result == "refused" && run.error.empty() && refusals != nullptr && refusals->is_array() &&
      !refusals->empty() && refusals->front().is_string()) {
    run.error = "refused: " + refusals->front().get<std::string>();
  }
  // Every run that did not pass has a line that says how, if only its result.
  if (run.result != RUN_RESULTS[0] && run.error.empty()) run.error = run.result;
  return run;
}

ReadReports read_reports(std::span<const std::string> paths) {
  ReadReports read;
  std::vector<std::string> files;
  for (const std::string& path : paths) collect(path, files, read.unreadable);
  // A fleet's reports run to the hundred thousand: parsed on every core, each file into its
  // own place, then taken in path order, so the result is the same however the work was split.
  std::vector<std::optional<RunRecord>> runs(files.size());
  std::vector<std::string> reasons(files.size());
  const std::size_t workers = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1,
                                                      std::max<std::size_t>(files.size() / 64, 1));
  {
    std::vector<std::jthread> threads;
    for (std::size_t worker = 0; worker < workers; ++worker) {
      threads.emplace_back([&, worker] {
        for (std::size_t i = worker; i < files.size(); i += workers) {
          if (const auto text = read_file(files[i], reasons[i])) {
            runs[i] = parse_report(*text, files[i], reasons[i]);
          }
        }
      });
    }
  }
  read.runs.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (runs[i]) {
      read.runs.push_back(std::move(*runs[i]));
    } else {
      read.unreadable.push_back({std::move(files[i]), std::move(reasons[i])});
    }
  }
  return read;
}

}  // namespace zel
