#include "run_report.hpp"

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

constexpr const char* INPUT_ROLES[] = {"configuration", "package", "bootloader"};

json input(const char* role, const std::string& path) {
  json entry = {{"role", role}, {"path", path}};
  if (auto digest = input_digest(path)) {
    entry["size"] = digest->size;
    entry["sha256"] = digest->sha256;
  } else {
    entry["error"] = digest.error();
  }
  return entry;
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

RunReport::RunReport(zel_base::Backend& clock, json device, std::span<const std::string> arguments)
    : clock_(clock), start_(clock.now()), device_(std::move(device)) {
  // The run reads at most three of its arguments; later ones are not inputs.
  for (std::size_t i = 0; i < arguments.size() && i < std::size(INPUT_ROLES); ++i) {
    inputs_.push_back(input(INPUT_ROLES[i], arguments[i]));
  }
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
    result_ = "error";
    const auto& error = std::get<RunError>(result.error());
    end_ = {{"error", {{"display", error.display()}, {"debug", error.debug()}}}};
  }
}

json RunReport::finish(int exit_status, std::span<const std::string> refusals,
                       std::span<const std::string> output_errors) const {
  json report = {
      {"schema", REPORT_SCHEMA},
      {"version", zel_base::version()},
      {"source_revision", zel_base::source_revision()},
      {"device", device_},
      {"inputs", inputs_},
      {"phases", phases_},
      {"reset", reset_},
      // A run the device refused is not a pass, whatever the tool made of it.
      {"result", refusals.empty() ? result_ : "refused"},
      {"exit_status", exit_status},
  };
  for (const auto& [key, value] : end_.items()) report[key] = value;
  if (!refusals.empty()) report["refusals"] = refusals;
  if (!output_errors.empty()) report["output_errors"] = output_errors;
  return report;
}

}  // namespace zel
