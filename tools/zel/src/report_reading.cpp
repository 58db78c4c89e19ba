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

std::string text_at(const json& object, const char* key, std::string fallback = {}) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : fallback;
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
std::string device_of(const json& device) {
  if (!device.is_object()) return "unknown";
  std::string identity = text_at(device, "identity");
  if (identity.empty()) identity = text_at(device, "path");
  return identity.empty() ? text_at(device, "kind", "unknown") : identity;
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
  if (run.result.empty() || !report.contains("exit_status") ||
      !report["exit_status"].is_number_integer()) {
    reason = "no result or exit status";
    return std::nullopt;
  }
  run.exit_status = report["exit_status"];
  run.host = text_at(report, "host", "unknown");
  run.device = device_of(report.value("device", json()));
  run.injected =
      report.contains("faults") && report["faults"].is_array() && !report["faults"].empty();
  run.started_at = text_at(report, "started_at");
  run.started = seconds_of(run.started_at);
  if (report.contains("sequence") && report["sequence"].is_number_unsigned()) {
    run.sequence = report["sequence"];
  }
  if (const auto reset = report.find("reset");
      reset != report.end() && reset->is_object() && (*reset)["duration_ns"].is_number_unsigned()) {
    run.reset_ns = (*reset)["duration_ns"].get<std::uint64_t>();
  }
  if (const auto error = report.find("error"); error != report.end() && error->is_object()) {
    run.error = text_at(*error, "debug");
  }
  if (const auto failure = report.find("check_failure");
      failure != report.end() && failure->is_object()) {
    run.report = text_at(*failure, "report");
    if (run.error.empty()) run.error = first_line(run.report);
    for (const json& word : failure->value("words", json::array())) {
      if (!word.is_object() || !word["tile"].is_number_unsigned()) continue;
      run.words.push_back({word["tile"], text_at(word, "address"), text_at(word, "value")});
    }
  }
  if (run.result == "refused" && run.error.empty()) {
    const json refusals = report.value("refusals", json::array());
    if (!refusals.empty() && refusals[0].is_string()) {
      run.error = "refused: " + refusals[0].get<std::string>();
    }
  }
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
