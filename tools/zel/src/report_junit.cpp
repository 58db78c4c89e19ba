#include <cmath>
#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "markup.hpp"
#include "report_formats.hpp"

namespace zel {
namespace {

// error and refused are errors of the run; check-failed is the check's failure.
bool is_failure(const RunRecord& run) { return run.result == "check-failed"; }
bool is_error(const RunRecord& run) { return run.result != "pass" && !is_failure(run); }

// A test case's time is the run's, not the reset's: how long the run took on its clock.
double seconds(const RunRecord& run) {
  return run.duration_ns ? static_cast<double>(*run.duration_ns) / 1e9 : 0.0;
}

// Times in seconds with at most three decimals, as the importers' schemas take them.
std::string time_attribute(double seconds) { return fmt::format("time=\"{:.3f}\"", seconds); }

// The class CI systems group a device's runs under; runs with faults injected are a class of
// their own, so they never count among a board's tests unmarked.
std::string class_name(const DeviceSummary& device) {
  return fmt::format("zel.{}.{}{}", device.host, device.device,
                     device.injected ? " (faults injected)" : "");
}

// The suite's first start, as a date and time without a zone (UTC), the form importers take.
std::string timestamp_attribute(const DeviceSummary& device) {
  const auto started = device.in_order.front()->started;
  if (!started) return {};
  return fmt::format(" timestamp=\"{:%Y-%m-%dT%H:%M:%S}\"",
                     fmt::gmtime(static_cast<std::time_t>(std::floor(*started))));
}

void write_case(const DeviceSummary& device, const RunRecord& run, std::ostream& out) {
  const std::string name =
      fmt::format("run {}{}", run.sequence, run.started_at.empty() ? "" : " at " + run.started_at);
  out << fmt::format("    <testcase name=\"{}\" classname=\"{}\" {}", markup_text(name),
                     markup_text(class_name(device)), time_attribute(seconds(run)));
  if (run.result == "pass") {
    out << "/>\n";
    return;
  }
  const char* element = is_failure(run) ? "failure" : "error";
  const std::string body = run.report.empty() ? run.error : run.report;
  out << fmt::format(">\n      <{0} message=\"{1}\" type=\"{2}\">{3}</{0}>\n", element,
                     markup_text(run.error), markup_text(run.result), markup_text(body));
  out << fmt::format("      <system-out>{}</system-out>\n    </testcase>\n", markup_text(run.path));
}

}  // namespace

void write_junit(const Summary& summary, std::ostream& out) {
  std::uint64_t failures = 0, errors = 0;
  for (const DeviceSummary& device : summary.devices) {
    for (const RunRecord* run : device.in_order) {
      failures += is_failure(*run);
      errors += is_error(*run);
    }
  }
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out << fmt::format("<testsuites name=\"zel\" tests=\"{}\" failures=\"{}\" errors=\"{}\">\n",
                     summary.runs, failures, errors);
  for (const DeviceSummary& device : summary.devices) {
    std::uint64_t device_failures = 0, device_errors = 0;
    double time = 0;
    for (const RunRecord* run : device.in_order) {
      device_failures += is_failure(*run);
      device_errors += is_error(*run);
      time += seconds(*run);
    }
    out << fmt::format(
        "  <testsuite name=\"{}\" tests=\"{}\" failures=\"{}\" errors=\"{}\" skipped=\"0\" {} "
        "hostname=\"{}\"{}>\n",
        markup_text(device.label()), device.runs, device_failures, device_errors,
        time_attribute(time), markup_text(device.host), timestamp_attribute(device));
    out << fmt::format(
        "    <properties>\n      <property name=\"device\" value=\"{}\"/>\n      <property "
        "name=\"faults_injected\" value=\"{}\"/>\n    </properties>\n",
        markup_text(device.device), device.injected);
    for (const RunRecord* run : device.in_order) write_case(device, *run, out);
    out << "  </testsuite>\n";
  }
  out << "</testsuites>\n";
}

}  // namespace zel
