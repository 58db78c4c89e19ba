#include "report_summary.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "reset_memory/duration_form.hpp"
#include "zel_base/error.hpp"

namespace zel {
namespace {

ResetTimes reset_times(std::vector<std::uint64_t> times) {
  std::ranges::sort(times);
  const auto rank = [&](double fraction) {
    const auto at =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(times.size())));
    return times[std::max<std::size_t>(at, 1) - 1];
  };
  return {times.front(), rank(0.5), rank(0.99), times.back()};
}

void add_to_group(std::vector<FailureGroup>& groups, const std::string& what,
                  const std::string& device) {
  auto group = std::ranges::find(groups, what, &FailureGroup::what);
  if (group == groups.end()) group = groups.insert(groups.end(), FailureGroup{what});
  ++group->runs;
  if (std::ranges::find(group->devices, device) == group->devices.end()) {
    group->devices.push_back(device);
  }
}

// The most frequent first; ties by their text, so the order is the same at every reading.
void order(std::vector<FailureGroup>& groups) {
  std::ranges::sort(groups, [](const FailureGroup& a, const FailureGroup& b) {
    return std::tie(b.runs, a.what) < std::tie(a.runs, b.what);
  });
}

std::string duration(std::uint64_t ns) {
  return reset_memory::duration_form(std::chrono::nanoseconds(ns));
}

}  // namespace

// A text from a report as it stands when it is plain, quoted and escaped when it is not, so no
// report can put a control sequence on the terminal.
std::string shown(const std::string& text) {
  const bool plain = !text.empty() && std::ranges::none_of(text, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || byte >= 0x80 || c == ' ' || c == '"';
  });
  return plain ? text : zel_base::debug_quote(text);
}

std::string DeviceSummary::label() const {
  return fmt::format("{} {}{}", shown(host), shown(device), injected ? " (faults injected)" : "");
}

std::uint64_t DeviceSummary::count(std::string_view result) const {
  if (result == RUN_RESULTS[0]) return passes;
  const auto found = failures.find(result);
  return found == failures.end() ? 0 : found->second;
}

Summary summarize(std::span<const RunRecord> runs) {
  Summary summary;
  std::map<std::tuple<std::string, std::string, bool>, std::vector<const RunRecord*>> by_device;
  for (const RunRecord& run : runs) by_device[{run.host, run.device, run.injected}].push_back(&run);
  for (auto& [key, device_runs] : by_device) {
    DeviceSummary device{
        .host = std::get<0>(key), .device = std::get<1>(key), .injected = std::get<2>(key)};
    std::ranges::stable_sort(device_runs, [](const RunRecord* a, const RunRecord* b) {
      return std::tie(a->started_at, a->sequence) < std::tie(b->started_at, b->sequence);
    });
    std::vector<std::uint64_t> times;
    for (const RunRecord* run : device_runs) {
      ++device.runs;
      if (run->result == "pass") {
        ++device.passes;
      } else {
        ++device.failures[run->result];
        add_to_group(summary.by_error, run->error, device.label());
        for (const FailedWord& word : run->words) {
          add_to_group(summary.by_word, fmt::format("tile {} address {}", word.tile, word.address),
                       device.label());
        }
      }
      if (run->reset_ns) times.push_back(*run->reset_ns);
      if (run->started)
        device.last_started = std::max(device.last_started.value_or(0), *run->started);
    }
    if (!times.empty()) device.reset = reset_times(std::move(times));
    device.in_order = std::move(device_runs);
    summary.runs += device.runs;
    summary.passes += device.passes;
    if (device.injected) summary.injected_runs += device.runs;
    summary.devices.push_back(std::move(device));
  }
  order(summary.by_error);
  order(summary.by_word);
  return summary;
}

void print_device_table(const Summary& summary, std::ostream& out) {
  out << fmt::format("{:<36} {:>6} {:>6} {:>6} {:>12} {:>7}  {:>11} {:>11} {:>11} {:>11}\n",
                     "device", "runs", "passed", "error", "check-failed", "refused", "reset min",
                     "median", "p99", "max");
  for (const DeviceSummary& device : summary.devices) {
    std::string times = fmt::format("{:>11} {:>11} {:>11} {:>11}", "-", "-", "-", "-");
    if (device.reset) {
      times = fmt::format("{:>11} {:>11} {:>11} {:>11}", duration(device.reset->min),
                          duration(device.reset->median), duration(device.reset->p99),
                          duration(device.reset->max));
    }
    out << fmt::format("{:<36} {:>6} {:>6} {:>6} {:>12} {:>7}  {}\n", device.label(), device.runs,
                       device.passes, device.count("error"), device.count("check-failed"),
                       device.count("refused"), times);
  }
}

std::string totals_line(const Summary& summary) {
  std::set<std::string> hosts;
  for (const DeviceSummary& device : summary.devices) hosts.insert(device.host);
  // Runs with faults injected are in the totals, so the totals say how many.
  return fmt::format("{} runs on {} devices of {} host{}: {} passed, {} did not{}", summary.runs,
                     summary.devices.size(), hosts.size(), hosts.size() == 1 ? "" : "s",
                     summary.passes, summary.runs - summary.passes,
                     summary.injected_runs == 0
                         ? ""
                         : fmt::format("; {} with faults injected", summary.injected_runs));
}

void print_summary(const Summary& summary, std::ostream& out) {
  out << totals_line(summary) << "\n\n";
  print_device_table(summary, out);
  for (const auto& [title, groups] :
       {std::pair{"failures by error", &summary.by_error},
        std::pair{"failures by tile and address", &summary.by_word}}) {
    if (groups->empty()) continue;
    out << fmt::format("\n{}:\n", title);
    for (const FailureGroup& group : *groups) {
      out << fmt::format("  {:>6} runs  {}\n          on {}\n", group.runs, group.what,
                         fmt::join(group.devices, ", "));
    }
  }
}

}  // namespace zel
