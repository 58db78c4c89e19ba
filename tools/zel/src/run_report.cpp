#include "run_report.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "input_digest.hpp"
#include "reset_memory/duration_form.hpp"
#include "zel_base/error.hpp"
#include "zel_base/version.hpp"

namespace zel {
namespace {

using json = nlohmann::ordered_json;
using reset_memory::CheckFailure;
using reset_memory::RunError;

// The inputs in the order the run takes its arguments, each with the most of it a digest
// reads. A capture and a bootloader are small (the loader keeps 4 KiB of one segment); the
// run reads the whole package, so its digest costs less than the run does, up to a size no
// package of a real device comes near.
struct InputRole {
  const char* name;
  std::uint64_t digest_limit;
};
constexpr InputRole INPUT_ROLES[] = {
    {"configuration", std::uint64_t{16} << 20},
    {"package", std::uint64_t{1} << 30},
    {"bootloader", std::uint64_t{16} << 20},
};

json input(const InputRole& role, const std::string& path) {
  json entry = {{"role", role.name}, {"path", path}};
  if (auto digest = input_digest(path, role.digest_limit)) {
    entry["size"] = digest->size;
    entry["sha256"] = digest->sha256;
  } else {
    entry["error"] = digest.error();
  }
  return entry;
}

std::string kernel_release() {
  struct utsname system;
  if (::uname(&system) != 0) return "unknown";
  return system.release;
}

// UTC, RFC 3339 with milliseconds: "2026-12-10T22:05:01.123Z".
std::string utc_now() {
  const auto now =
      std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z",
                     fmt::gmtime(std::chrono::system_clock::to_time_t(now)),
                     now.time_since_epoch().count() % 1000);
}

std::string hex(std::uint32_t value) { return fmt::format("0x{:x}", value); }

json check_failure(const CheckFailure& failure) {
  json words = json::array();
  for (const auto& word : failure.words) {
    words.push_back(
        {{"tile", word.tile}, {"address", hex(word.address)}, {"value", hex(word.value)}});
  }
  return {{"report", failure.report()}, {"words", std::move(words)}};
}

}  // namespace

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

json run_inputs(std::span<const std::string> arguments) {
  // The run reads at most three of its arguments; later ones are not inputs.
  json inputs = json::array();
  for (std::size_t i = 0; i < arguments.size() && i < std::size(INPUT_ROLES); ++i) {
    inputs.push_back(input(INPUT_ROLES[i], arguments[i]));
  }
  return inputs;
}

RunReport::RunReport(zel_base::Backend& clock, RunIdentity identity)
    : clock_(clock), start_(clock.now()) {
  head_ = {
      {"schema", REPORT_SCHEMA},
      {"version", zel_base::version()},
      {"source_revision", zel_base::source_revision()},
      {"command_line", std::move(identity.command_line)},
      {"host", std::move(identity.host)},
      {"kernel_release", kernel_release()},
      {"started_at", utc_now()},
      {"device", std::move(identity.device)},
      {"sequence", identity.sequence},
  };
  if (!identity.recorded.is_null()) head_["recorded"] = std::move(identity.recorded);
  head_["inputs"] = std::move(identity.inputs);
}

void RunReport::phase(std::string_view name) {
  const auto now = since_start();
  if (phase_start_) phases_.back()["duration_ns"] = (now - *phase_start_).count();
  phases_.push_back({{"name", name}, {"start_ns", now.count()}});
  phase_start_ = now;
}

void RunReport::reset_timed(std::chrono::nanoseconds duration) {
  reset_ = {{"duration_ns", duration.count()}, {"text", reset_memory::duration_form(duration)}};
}

void RunReport::ended(const reset_memory::Step& result) {
  const auto now = since_start();
  if (phase_start_) phases_.back()["duration_ns"] = (now - *phase_start_).count();
  phase_start_.reset();
  if (result) {
    result_ = "pass";
  } else if (const auto* failure = std::get_if<CheckFailure>(&result.error())) {
    result_ = "check-failed";
    end_ = {{"check_failure", check_failure(*failure)}};
  } else {
    const auto& error = std::get<RunError>(result.error());
    ended_early(error.display(), error.debug());
  }
}

void RunReport::ended_early(const std::string& display, const std::string& debug) {
  result_ = "error";
  end_ = {{"error", {{"display", display}, {"debug", debug}}}};
}

void RunReport::diverged(json divergence) {
  result_ = "diverged";
  end_ = {{"divergence", std::move(divergence)}};
}

json RunReport::finish(const RunOutcome& outcome) const {
  json report = head_;
  report["faults"] = outcome.faults;
  report["warnings"] = outcome.warnings;
  report["phases"] = phases_;
  report["reset"] = reset_;
  // A run the device refused is not a pass, whatever the tool made of it.
  report["result"] = outcome.refusals.empty() ? result_ : "refused";
  report["exit_status"] = outcome.exit_status;
  for (const auto& [key, value] : end_.items()) report[key] = value;
  if (!outcome.refusals.empty()) report["refusals"] = outcome.refusals;
  if (!outcome.output_errors.empty()) report["output_errors"] = outcome.output_errors;
  return report;
}

}  // namespace zel
