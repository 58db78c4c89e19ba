#pragma once

#include <cstdint>
#include <expected>
#include <istream>
#include <memory>
#include <optional>
#include <string>

#include "zel_driver/trace_format.hpp"

namespace zel_driver {

// Why a trace cannot be read, at the line where it shows: "line 12: unknown op \"frob\"".
struct TraceError {
  std::uint64_t line = 0;
  std::string what;
  std::string text() const { return fmt::format("line {}: {}", line, what); }
};

// What a trace's first line says.
struct TraceHeader {
  // 2 (TRACE_FORMAT); 1 for a trace of zel 0.5 or before, which has no first line, no last
  // line and no clock readings.
  int format = 2;
  std::string version, source_revision;
  std::string run = "{}";  // the recording program's account, a JSON object
};

// What its last line says.
struct TraceEnd {
  std::int64_t t_ns = 0;
  std::string run = "{}";
};

struct TraceLimits {
  std::size_t line_bytes = TRACE_LINE_LIMIT;
  std::uint64_t events = TRACE_EVENT_LIMIT;
};

// Reads a trace one line at a time, holding one line at most, and checks each as it comes: a
// line longer than the limit, more events than the limit, a line that is not a trace line of
// its op (unknown op, field missing, of the wrong kind or unknown), times that go back (lines
// out of order), a format line anywhere but first, anything after the last line, and a trace
// that ends without its last line (cut short) are each an error naming the line.
class TraceReader {
 public:
  // Reads the first line. A format other than TRACE_FORMAT is refused; so is a trace without a
  // format line, unless `unversioned` lets it be read as format 1.
  [[nodiscard]] static std::expected<TraceReader, TraceError> open(std::istream& in,
                                                                   bool unversioned = false,
                                                                   TraceLimits limits = {});

  const TraceHeader& header() const { return header_; }
  // The next event; none once the last line is read (end() then holds it).
  [[nodiscard]] std::expected<std::optional<TraceEvent>, TraceError> next();
  const std::optional<TraceEnd>& end() const { return end_; }
  // The number of the last line read.
  std::uint64_t line() const { return line_; }

 private:
  TraceReader(std::istream& in, TraceLimits limits);
  // The next line's text; none at the end of the stream.
  std::expected<std::optional<std::string_view>, TraceError> read_line();
  std::expected<std::optional<TraceEvent>, TraceError> event_of(std::string_view text);
  TraceError error(std::string what) const { return {line_, std::move(what)}; }

  std::istream* in_;
  TraceLimits limits_;
  std::unique_ptr<char[]> buffer_;
  std::uint64_t line_ = 0;
  std::uint64_t events_ = 0;
  std::int64_t last_t_ns_ = 0;
  TraceHeader header_;
  std::optional<TraceEvent> pending_;  // a format 1 trace's first line, read as its first event
  std::optional<TraceEnd> end_;
};

// The last line of a trace, read before the rest: the lines before it are counted, not read,
// and the stream is put back where it was. What a replay must know before it runs (the
// digests of the recorded run's inputs) is there. A trace whose last line is no end line was
// cut short; a stream that cannot be sought (a pipe) cannot be read so.
[[nodiscard]] std::expected<TraceEnd, TraceError> read_trace_end(std::istream& in,
                                                                 TraceLimits limits = {});

}  // namespace zel_driver
