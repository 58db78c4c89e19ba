#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "zel_driver/replay_backend.hpp"

namespace zel {

// How `zel replay` shows where a run departed from the trace at `path`:
//
//   zel replay: "t.jsonl": the run departed from the trace at event 1234 (line 1235), in phase
//   poison:
//       line 1232  {"t_ns":…,"op":"load",…}
//       …
//     - line 1235  {"t_ns":…,"op":"store","offset":"0x3b7dc","value":"0x80000"}
//     + the stack  {"op":"store","offset":"0x3b7dc","value":"0x80004"}
std::string divergence_block(const zel_driver::ReplayDivergence& divergence,
                             const std::string& path);

// The same for the report: event, line, phase, recorded and made (each a trace line's object,
// or null), before (trace lines' objects).
nlohmann::ordered_json divergence_json(const zel_driver::ReplayDivergence& divergence);

}  // namespace zel
