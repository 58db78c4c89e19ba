#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace zel_sim {

enum class TraceOp { Open, Close, Lock, Map, MapAnonymous, Unmap, Ioctl, Load, Store, Barrier };

std::string_view trace_op_name(TraceOp op);

// One call the stack made into the simulated kernel or device, at a virtual time.
struct TraceRecord {
  std::chrono::nanoseconds time;
  TraceOp op;
  std::optional<std::uint32_t> offset;   // load, store: configuration offset
  std::optional<std::uint64_t> value;    // load: value read; store: value written; ioctl: argument
  std::optional<std::uint64_t> request;  // ioctl
  std::optional<std::int64_t> result;    // open, close, map, unmap, ioctl: return value (-1 failed)
  std::string path;                      // open

  bool operator==(const TraceRecord&) const = default;
};

// The ordered record of every open, close, map (of the node or of host memory), unmap, ioctl,
// load and store; off until
// enabled, so long runs cost nothing when nobody looks.
class Trace {
 public:
  void enable(bool on = true) { enabled_ = on; }
  bool enabled() const { return enabled_; }
  void record(TraceRecord record) {
    if (enabled_) records_.push_back(std::move(record));
  }
  void clear() { records_.clear(); }

  const std::vector<TraceRecord>& records() const { return records_; }

  // Register accesses only, in order, for checks of register protocols.
  std::vector<TraceRecord> accesses() const;
  // The stores to `offset`, or the loads of it, in order.
  std::vector<std::uint32_t> stored_values(std::uint32_t offset) const;
  std::size_t count(TraceOp op, std::optional<std::uint32_t> offset = std::nullopt) const;
  // The ioctl requests issued, in order.
  std::vector<std::uint64_t> ioctl_requests() const;

  // One JSON object per line: "t_ns", "op", and "offset", "value", "request", "result",
  // "path" where they apply; numbers in decimal.
  void write_json_lines(std::ostream& out) const;

 private:
  bool enabled_ = false;
  std::vector<TraceRecord> records_;
};

}  // namespace zel_sim
