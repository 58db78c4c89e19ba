#include "zel_sim/trace.hpp"

#include <fmt/format.h>

namespace zel_sim {

std::string_view trace_op_name(TraceOp op) {
  switch (op) {
    case TraceOp::Open:
      return "open";
    case TraceOp::Close:
      return "close";
    case TraceOp::Lock:
      return "lock";
    case TraceOp::Barrier:
      return "barrier";
    case TraceOp::Map:
      return "map";
    case TraceOp::MapAnonymous:
      return "map-anonymous";
    case TraceOp::Unmap:
      return "unmap";
    case TraceOp::Ioctl:
      return "ioctl";
    case TraceOp::Load:
      return "load";
    case TraceOp::Store:
      return "store";
  }
  return "?";
}

std::vector<TraceRecord> Trace::accesses() const {
  std::vector<TraceRecord> found;
  for (const TraceRecord& record : records_) {
    if (record.op == TraceOp::Load || record.op == TraceOp::Store) found.push_back(record);
  }
  return found;
}

std::vector<std::uint32_t> Trace::stored_values(std::uint32_t offset) const {
  std::vector<std::uint32_t> values;
  for (const TraceRecord& record : records_) {
    if (record.op == TraceOp::Store && record.offset == offset) {
      values.push_back(static_cast<std::uint32_t>(*record.value));
    }
  }
  return values;
}

std::size_t Trace::count(TraceOp op, std::optional<std::uint32_t> offset) const {
  std::size_t n = 0;
  for (const TraceRecord& record : records_) {
    if (record.op == op && (!offset || record.offset == offset)) ++n;
  }
  return n;
}

std::vector<std::uint64_t> Trace::ioctl_requests() const {
  std::vector<std::uint64_t> requests;
  for (const TraceRecord& record : records_) {
    if (record.op == TraceOp::Ioctl) requests.push_back(*record.request);
  }
  return requests;
}

namespace {

std::string json_string(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted.push_back('\\');
      quoted.push_back(c);
    } else if (byte < 0x20) {
      quoted.append(fmt::format("\\u{:04x}", byte));
    } else {
      quoted.push_back(c);
    }
  }
  return quoted + "\"";
}

}  // namespace

void Trace::write_json_lines(std::ostream& out) const {
  std::string line;
  for (const TraceRecord& record : records_) {
    line =
        fmt::format("{{\"t_ns\":{},\"op\":\"{}\"", record.time.count(), trace_op_name(record.op));
    if (record.op == TraceOp::Open) line += ",\"path\":" + json_string(record.path);
    if (record.request) line += fmt::format(",\"request\":{}", *record.request);
    if (record.offset) line += fmt::format(",\"offset\":{}", *record.offset);
    if (record.value) line += fmt::format(",\"value\":{}", *record.value);
    if (record.result) line += fmt::format(",\"result\":{}", *record.result);
    line += "}\n";
    out << line;
  }
}

}  // namespace zel_sim
