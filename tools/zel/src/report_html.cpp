#include <algorithm>
#include <span>

#include <fmt/format.h>

#include "markup.hpp"
#include "report_formats.hpp"
#include "reset_memory/duration_form.hpp"

namespace zel {
namespace {

constexpr int WIDTH = 640;
constexpr int HISTOGRAM_HEIGHT = 110;
constexpr int STRIP_TOP = 140;
constexpr int STRIP_HEIGHT = 20;
constexpr int BINS = 20;

// Loads nothing from anywhere: no script, no image, no font, not even from the page's folder.
constexpr const char* HEAD = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'">
<title>zel runs</title>
<style>
body { font-family: sans-serif; margin: 2em; color: #222; }
table { border-collapse: collapse; margin-bottom: 1.5em; }
th, td { border: 1px solid #bbb; padding: 0.25em 0.6em; text-align: right; }
th:first-child, td:first-child { text-align: left; }
td.failed { color: #b00; font-weight: bold; }
table.failures td { text-align: left; }
svg { border: 1px solid #ddd; display: block; margin-bottom: 1.5em; }
</style>
</head>
<body>
)";

std::string duration(std::uint64_t ns) {
  return markup_text(reset_memory::duration_form(std::chrono::nanoseconds(ns)));
}

void write_table(const Summary& summary, std::ostream& out) {
  out << "<table id=\"devices\">\n<thead><tr><th>device</th><th>runs</th><th>passed</th>"
         "<th>error</th><th>check failed</th><th>refused</th><th>reset min</th><th>median</th>"
         "<th>p99</th><th>max</th></tr></thead>\n<tbody>\n";
  for (const DeviceSummary& device : summary.devices) {
    out << fmt::format("<tr class=\"device\"><td>{}</td><td>{}</td><td>{}</td>",
                       markup_text(device.label()), device.runs, device.passes);
    for (const std::string_view kind : std::span(RUN_RESULTS).subspan(1)) {
      const std::uint64_t count = device.count(kind);
      out << fmt::format("<td{}>{}</td>", count != 0 ? " class=\"failed\"" : "", count);
    }
    if (device.reset) {
      out << fmt::format("<td>{}</td><td>{}</td><td>{}</td><td>{}</td>",
                         duration(device.reset->min), duration(device.reset->median),
                         duration(device.reset->p99), duration(device.reset->max));
    } else {
      out << "<td>-</td><td>-</td><td>-</td><td>-</td>";
    }
    out << "</tr>\n";
  }
  out << "</tbody>\n</table>\n";
}

void write_groups(const char* title, const std::vector<FailureGroup>& groups, std::ostream& out) {
  if (groups.empty()) return;
  out << fmt::format("<h2>{}</h2>\n<table class=\"failures\">\n<tbody>\n", title);
  for (const FailureGroup& group : groups) {
    std::string devices;
    for (const std::string& device : group.devices) {
      devices += (devices.empty() ? "" : ", ") + markup_text(device);
    }
    out << fmt::format("<tr><td>{}</td><td>{} runs</td><td>{}</td></tr>\n", markup_text(group.what),
                       group.runs, devices);
  }
  out << "</tbody>\n</table>\n";
}

// The reset times in BINS bins of one width from the fastest to the slowest, bars scaled to
// the fullest.
void write_histogram(const DeviceSummary& device, std::ostream& out) {
  if (!device.reset) {
    out << "<text x=\"10\" y=\"60\">no reset completed</text>\n";
    return;
  }
  const std::uint64_t low = device.reset->min, high = device.reset->max;
  std::vector<std::uint64_t> bins(BINS);
  for (const RunRecord* run : device.in_order) {
    if (!run->reset_ns) continue;
    // In floating point: a report's times may be anything, and no product may wrap.
    const double at =
        static_cast<double>(*run->reset_ns - low) / (static_cast<double>(high - low) + 1);
    const auto bin = std::min<std::size_t>(BINS - 1, static_cast<std::size_t>(at * BINS));
    ++bins[bin];
  }
  const std::uint64_t fullest = *std::ranges::max_element(bins);
  const int bar = WIDTH / BINS;
  for (int i = 0; i < BINS; ++i) {
    if (bins[i] == 0) continue;
    const int height = static_cast<int>(bins[i] * (HISTOGRAM_HEIGHT - 10) / fullest);
    out << fmt::format(
        "<rect class=\"bin\" x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"#4a7bd0\">"
        "<title>{} runs</title></rect>\n",
        i * bar + 1, HISTOGRAM_HEIGHT - height, bar - 2, height, bins[i]);
  }
  out << fmt::format(
      "<text x=\"0\" y=\"{0}\" font-size=\"11\">{1}</text>"
      "<text x=\"{2}\" y=\"{0}\" font-size=\"11\" text-anchor=\"end\">{3}</text>\n",
      HISTOGRAM_HEIGHT + 14, duration(low), WIDTH, duration(high));
}

// One mark per run in time order: green a pass, red anything else.
void write_strip(const DeviceSummary& device, std::ostream& out) {
  const double step = static_cast<double>(WIDTH) / static_cast<double>(device.in_order.size());
  for (std::size_t i = 0; i < device.in_order.size(); ++i) {
    const RunRecord& run = *device.in_order[i];
    out << fmt::format(
        "<rect class=\"run\" x=\"{:.2f}\" y=\"{}\" width=\"{:.2f}\" height=\"{}\" fill=\"{}\">"
        "<title>run {} {} {}</title></rect>\n",
        i * step, STRIP_TOP, std::max(step, 1.0), STRIP_HEIGHT,
        run.result == "pass" ? "#2a9d3a" : "#c62828", run.sequence, markup_text(run.started_at),
        markup_text(run.result));
  }
}

void write_device_chart(const DeviceSummary& device, std::ostream& out) {
  out << fmt::format("<h3>{}</h3>\n", markup_text(device.label()));
  out << fmt::format(
      "<svg class=\"device-chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" "
      "height=\"{1}\" viewBox=\"0 0 {0} {1}\" role=\"img\">\n",
      WIDTH, STRIP_TOP + STRIP_HEIGHT + 5);
  out << fmt::format("<title>{}: reset times and runs in time order</title>\n",
                     markup_text(device.label()));
  write_histogram(device, out);
  write_strip(device, out);
  out << "</svg>\n";
}

}  // namespace

void write_html(const Summary& summary, const ReadReports& read, std::ostream& out) {
  out << HEAD;
  out << fmt::format("<h1>zel runs</h1>\n<p id=\"totals\">{}.</p>\n",
                     markup_text(totals_line(summary)));
  write_table(summary, out);
  write_groups("Failures by error", summary.by_error, out);
  write_groups("Failures by tile and address", summary.by_word, out);
  out << "<h2>Reset times and runs, by device</h2>\n";
  for (const DeviceSummary& device : summary.devices) write_device_chart(device, out);
  if (!read.unreadable.empty()) {
    out << "<h2>Reports that could not be read</h2>\n<ul id=\"unreadable\">\n";
    for (const UnreadableReport& report : read.unreadable) {
      out << fmt::format("<li>{}: {}</li>\n", markup_text(report.path), markup_text(report.reason));
    }
    out << "</ul>\n";
  }
  out << "</body>\n</html>\n";
}

}  // namespace zel
