#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <fmt/format.h>

// The trace: one JSON object per line, written by TracingBackend and read by TraceReader.
//
//   {"t_ns":0,"op":"trace","format":"zel-trace/2","version":…,"source_revision":…,"run":{…}}
//   … one line per call the host made, and phase lines …
//   {"t_ns":…,"op":"end","run":{…}}
//
// The first line names the format; "run" in it and in the last line is the recording
// program's own account of the run (a JSON object the library does not look into). A trace
// without its last line is cut short. Every line has "t_ns", nanoseconds on the backend's
// clock since the trace began, never decreasing from one line to the next.
namespace zel_driver {

inline constexpr std::string_view TRACE_FORMAT = "zel-trace/2";

// Bounds of every reader of traces: a longer line, or more events, is refused rather than held
// or worked through. The longest line a recording writes is its first, with the command line.
inline constexpr std::size_t TRACE_LINE_LIMIT = std::size_t{1} << 20;
inline constexpr std::uint64_t TRACE_EVENT_LIMIT = std::uint64_t{64} << 20;

// What a kernel request was given, as a trace shows it: the decoded record, never an address.
namespace traced_argument {
struct Unknown {  // a number that is no request of the driver: its argument is not decoded
  bool operator==(const Unknown&) const = default;
};
struct Plain {  // "argument"
  std::uint64_t value;
  bool operator==(const Plain&) const = default;
};
struct Buffer {  // attach-buffer: "index", "size"
  std::uint32_t index, size;
  bool operator==(const Buffer&) const = default;
};
struct SecondaryId {  // "id"
  std::uint32_t id;
  bool operator==(const SecondaryId&) const = default;
};
struct Mailbox {  // "sent": the five words of the message
  std::array<std::uint32_t, 5> sent;
  bool operator==(const Mailbox&) const = default;
};
}  // namespace traced_argument
using TracedArgument =
    std::variant<traced_argument::Unknown, traced_argument::Plain, traced_argument::Buffer,
                 traced_argument::SecondaryId, traced_argument::Mailbox>;

// The argument of `request` as a trace shows it; record arguments are read where `argument`
// points, as the kernel would read them.
TracedArgument traced_argument_of(unsigned long request, unsigned long argument);

// What the host asked in one call, or a phase of the run it began: everything a replay checks.
namespace traced {
struct Open {
  std::string path;
  std::uint32_t flags;
  bool operator==(const Open&) const = default;
};
struct Close {
  std::int64_t fd;
  bool operator==(const Close&) const = default;
};
struct Lock {
  std::int64_t fd;
  bool operator==(const Lock&) const = default;
};
struct Map {
  std::int64_t fd;
  std::uint64_t size;
  bool operator==(const Map&) const = default;
};
struct MapAnonymous {
  std::uint64_t size;
  bool operator==(const MapAnonymous&) const = default;
};
struct Unmap {
  bool configuration;  // "mapping": the configuration space, or host memory
  std::uint64_t size;
  bool operator==(const Unmap&) const = default;
};
struct Ioctl {
  std::uint64_t number;  // with "request", its name
  TracedArgument argument;
  bool operator==(const Ioctl&) const = default;
};
// A register access; no offset for an address outside the configuration space ("outside").
struct Load {
  std::optional<std::uint32_t> offset;
  bool operator==(const Load&) const = default;
};
struct Store {
  std::optional<std::uint32_t> offset;
  std::uint32_t value;
  bool operator==(const Store&) const = default;
};
struct Barrier {  // the ordering point before a mark that announces host memory
  bool operator==(const Barrier&) const = default;
};
struct Now {  // a clock reading: what it read is the line's t_ns
  bool operator==(const Now&) const = default;
};
struct Sleep {
  std::int64_t ns;
  bool operator==(const Sleep&) const = default;
};
struct Phase {
  std::string name;
  bool operator==(const Phase&) const = default;
};
}  // namespace traced
using TracedCall =
    std::variant<traced::Open, traced::Close, traced::Lock, traced::Map, traced::MapAnonymous,
                 traced::Unmap, traced::Ioctl, traced::Load, traced::Store, traced::Barrier,
                 traced::Now, traced::Sleep, traced::Phase>;

// The "op" of a call's lines.
std::string_view op_name(const TracedCall& call);

// What a call was answered. Which fields a line has depends on its op: "result" (and "errno"
// when it is negative) for every call that can fail, "value" for a load, "received" for a
// mailbox request that succeeded, "holder" for a lock that failed.
struct TracedAnswer {
  std::int64_t result = 0;
  int error = 0;
  std::uint32_t value = 0;
  std::optional<std::array<std::uint32_t, 5>> received;
  std::int64_t holder = 0;
  bool operator==(const TracedAnswer&) const = default;
};

struct TraceEvent {
  std::uint64_t line = 0;  // where it stands in its trace, from 1
  std::int64_t t_ns = 0;
  TracedCall call;
  TracedAnswer answer;
};

// Appends the line of a call as the trace writes it, without its newline.
void append_trace_line(fmt::memory_buffer& line, std::int64_t t_ns, const TracedCall& call,
                       const TracedAnswer& answer);
// The call alone, for people: {"op":"store","offset":"0x302c","value":"0x1"}.
std::string call_text(const TracedCall& call);
// The whole line of an event.
std::string event_text(const TraceEvent& event);

}  // namespace zel_driver
