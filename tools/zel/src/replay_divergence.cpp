#include "replay_divergence.hpp"

#include <fmt/format.h>

#include "zel_base/error.hpp"

namespace zel {
namespace {

using json = nlohmann::ordered_json;
using zel_driver::call_text;
using zel_driver::event_text;
using zel_driver::TraceEvent;

json object_of(const std::string& line) { return json::parse(line, nullptr, false); }

}  // namespace

std::string divergence_block(const zel_driver::ReplayDivergence& divergence,
                             const std::string& path) {
  std::string block =
      fmt::format("zel replay: {}: the run departed from the trace at event {} (line {})",
                  zel_base::debug_quote(path), divergence.event, divergence.line);
  if (!divergence.phase.empty()) block += fmt::format(", in phase {}", divergence.phase);
  block += ":\n";
  for (const TraceEvent& event : divergence.before) {
    block += fmt::format("    line {}  {}\n", event.line, event_text(event));
  }
  block += fmt::format("  - line {}  {}\n", divergence.line,
                       divergence.recorded ? event_text(*divergence.recorded)
                                           : "(the recorded run made no more calls)");
  block += fmt::format("  + the stack  {}\n",
                       divergence.made ? call_text(*divergence.made) : "(its run was over)");
  return block;
}

json divergence_json(const zel_driver::ReplayDivergence& divergence) {
  json before = json::array();
  for (const TraceEvent& event : divergence.before) before.push_back(object_of(event_text(event)));
  return {
      {"event", divergence.event},
      {"line", divergence.line},
      {"phase", divergence.phase},
      {"recorded", divergence.recorded ? object_of(event_text(*divergence.recorded)) : json()},
      {"made", divergence.made ? object_of(call_text(*divergence.made)) : json()},
      {"before", std::move(before)},
  };
}

}  // namespace zel
