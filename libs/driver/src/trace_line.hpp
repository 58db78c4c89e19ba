#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "zel_driver/trace_reader.hpp"

// What one line of a trace says, read from its JSON object: every field its op has, of the
// kind it must be, and no other. The reader (trace_reader.cpp) takes lines off the stream and
// keeps them whole and in order; this reads each.
namespace zel_driver::trace_line {

using json = nlohmann::ordered_json;
template <class T>
using Read = std::expected<T, std::string>;

// "t_ns", nanoseconds since the trace began.
[[nodiscard]] Read<std::int64_t> time_of(const json& object);
// The first line: the format, checked, and what it says of the run.
[[nodiscard]] Read<TraceHeader> header_of(const json& object);
// The last line.
[[nodiscard]] Read<TraceEnd> end_of(const json& object);
// A call's line, of op `op`: its call and answer into `event`.
[[nodiscard]] Read<void> call_of(const json& object, std::string_view op, TraceEvent& event);

}  // namespace zel_driver::trace_line
