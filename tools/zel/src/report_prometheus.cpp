#include <fmt/format.h>

#include "report_formats.hpp"

namespace zel {
namespace {

// A label value: backslash, double quote and line feed escaped, as the format asks.
std::string label_value(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string device_labels(const DeviceSummary& device) {
  return fmt::format("host=\"{}\",device=\"{}\",faults_injected=\"{}\"", label_value(device.host),
                     label_value(device.device), device.injected);
}

}  // namespace

void write_prometheus(const Summary& summary, std::ostream& out) {
  out << "# HELP zel_runs_total Runs of zel run on a device, by result.\n"
         "# TYPE zel_runs_total counter\n";
  for (const DeviceSummary& device : summary.devices) {
    for (const std::string_view result : RUN_RESULTS) {
      out << fmt::format("zel_runs_total{{{},result=\"{}\"}} {}\n", device_labels(device), result,
                         device.count(result));
    }
  }
  out << "# HELP zel_reset_duration_seconds How long the tile-memory reset took.\n"
         "# TYPE zel_reset_duration_seconds summary\n";
  for (const DeviceSummary& device : summary.devices) {
    if (!device.reset) continue;
    const std::string labels = device_labels(device);
    double sum = 0;
    std::uint64_t count = 0;
    for (const RunRecord* run : device.in_order) {
      if (!run->reset_ns) continue;
      sum += static_cast<double>(*run->reset_ns) / 1e9;
      ++count;
    }
    for (const auto& [quantile, ns] :
         {std::pair{"0", device.reset->min}, std::pair{"0.5", device.reset->median},
          std::pair{"0.99", device.reset->p99}, std::pair{"1", device.reset->max}}) {
      out << fmt::format("zel_reset_duration_seconds{{{},quantile=\"{}\"}} {:.9g}\n", labels,
                         quantile, static_cast<double>(ns) / 1e9);
    }
    out << fmt::format("zel_reset_duration_seconds_sum{{{}}} {:.9g}\n", labels, sum);
    out << fmt::format("zel_reset_duration_seconds_count{{{}}} {}\n", labels, count);
  }
  out << "# HELP zel_last_run_timestamp_seconds When the device's last run started.\n"
         "# TYPE zel_last_run_timestamp_seconds gauge\n";
  for (const DeviceSummary& device : summary.devices) {
    if (!device.last_started) continue;
    out << fmt::format("zel_last_run_timestamp_seconds{{{}}} {:.3f}\n", device_labels(device),
                       *device.last_started);
  }
}

}  // namespace zel
