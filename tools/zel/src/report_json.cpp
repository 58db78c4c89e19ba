#include <nlohmann/json.hpp>

#include "report_formats.hpp"

namespace zel {
namespace {

using json = nlohmann::ordered_json;

json groups(const std::vector<FailureGroup>& list) {
  json out = json::array();
  for (const FailureGroup& group : list) {
    out.push_back({{"what", group.what}, {"runs", group.runs}, {"devices", group.devices}});
  }
  return out;
}

}  // namespace

void write_json(const Summary& summary, const ReadReports& read, std::ostream& out) {
  json devices = json::array();
  for (const DeviceSummary& device : summary.devices) {
    json entry = {
        {"host", device.host}, {"device", device.device}, {"faults_injected", device.injected},
        {"runs", device.runs}, {"passes", device.passes}, {"failures", device.failures},
        {"reset_ns", nullptr}};
    if (device.reset) {
      entry["reset_ns"] = {{"min", device.reset->min},
                           {"median", device.reset->median},
                           {"p99", device.reset->p99},
                           {"max", device.reset->max}};
    }
    devices.push_back(std::move(entry));
  }
  json unreadable = json::array();
  for (const UnreadableReport& report : read.unreadable) {
    unreadable.push_back({{"path", report.path}, {"reason", report.reason}});
  }
  const json object = {
      {"runs", summary.runs},
      {"passes", summary.passes},
      {"runs_with_faults_injected", summary.injected_runs},
      {"devices", std::move(devices)},
      {"failures_by_error", groups(summary.by_error)},
      {"failures_by_word", groups(summary.by_word)},
      {"unreadable", std::move(unreadable)},
  };
  out << object.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

}  // namespace zel
