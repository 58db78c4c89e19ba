#include "zel_driver/trace_reader.hpp"

#include <algorithm>

#include "trace_line.hpp"
#include "zel_base/try.hpp"

namespace zel_driver {

using trace_line::json;

std::expected<TraceEnd, TraceError> read_trace_end(std::istream& in, TraceLimits limits) {
  const std::istream::pos_type at = in.tellg();
  if (at < 0 || !in.seekg(0)) {
    return std::unexpected(TraceError{1, "cannot be read from its end: not a file"});
  }
  // Lines are counted, not read: the count runs at the speed of memory.
  std::uint64_t newlines = 0, size = 0;
  char last_byte = '\n';
  std::string piece(std::size_t{1} << 16, '\0');
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    const auto got = static_cast<std::size_t>(in.gcount());
    newlines += static_cast<std::uint64_t>(std::count(piece.begin(), piece.begin() + got, '\n'));
    size += got;
    last_byte = piece[got - 1];
  }
  if (in.bad()) return std::unexpected(TraceError{newlines + 1, "cannot be read"});
  if (size == 0) return std::unexpected(TraceError{1, "the trace is empty"});
  const std::uint64_t line = newlines + (last_byte == '\n' ? 0 : 1);
  // The last line, its newline aside, from as far back as the longest line allowed.
  const std::uint64_t text_end = size - (last_byte == '\n' ? 1 : 0);
  const std::uint64_t from =
      text_end > limits.line_bytes + 1 ? text_end - limits.line_bytes - 1 : 0;
  std::string tail(text_end - from, '\0');
  in.clear();
  if (!in.seekg(static_cast<std::streamoff>(from)) ||
      !in.read(tail.data(), static_cast<std::streamsize>(tail.size()))) {
    return std::unexpected(TraceError{line, "cannot be read from its end"});
  }
  const std::size_t newline = tail.rfind('\n');
  if (newline == std::string::npos && from > 0) {
    return std::unexpected(
        TraceError{line, fmt::format("longer than {} bytes", limits.line_bytes)});
  }
  const json object =
      json::parse(std::string_view(tail).substr(newline == std::string::npos ? 0 : newline + 1),
                  nullptr, false);
  in.clear();
  in.seekg(at);
  if (!object.is_object() || object.value("op", json()) != "end") {
    return std::unexpected(
        TraceError{line, "the trace ends here without its last line: it was cut short"});
  }
  auto end = trace_line::end_of(object);
  if (!end) return std::unexpected(TraceError{line, end.error()});
  return std::move(*end);
}

TraceReader::TraceReader(std::istream& in, TraceLimits limits)
    : in_(&in), limits_(limits), buffer_(std::make_unique<char[]>(limits.line_bytes + 1)) {}

std::expected<TraceReader, TraceError> TraceReader::open(std::istream& in, bool unversioned,
                                                         TraceLimits limits) {
  TraceReader reader(in, limits);
  ZEL_TRY_ASSIGN(const auto first, reader.read_line());
  if (!first) return std::unexpected(TraceError{1, "the trace is empty"});
  const json object = json::parse(*first, nullptr, false);
  if (object.is_object() && object.contains("op") && object["op"] == "trace") {
    auto header = trace_line::header_of(object);
    if (!header) return std::unexpected(reader.error(header.error()));
    reader.header_ = std::move(*header);
    return reader;
  }
  if (!unversioned) {
    return std::unexpected(reader.error(
        fmt::format("no format line: not a trace, or one of zel 0.5 or before (this zel reads {})",
                    TRACE_FORMAT)));
  }
  reader.header_ = {.format = 1};
  ZEL_TRY_ASSIGN(reader.pending_, reader.event_of(*first));
  return reader;
}

std::expected<std::optional<std::string_view>, TraceError> TraceReader::read_line() {
  if (in_->peek() == std::char_traits<char>::eof()) {
    if (in_->bad()) return std::unexpected(error("the trace cannot be read after this line"));
    return std::nullopt;
  }
  ++line_;
  in_->getline(buffer_.get(), static_cast<std::streamsize>(limits_.line_bytes + 1));
  if (in_->bad()) return std::unexpected(error("cannot be read"));
  if (in_->fail() && !in_->eof()) {
    return std::unexpected(error(fmt::format("longer than {} bytes", limits_.line_bytes)));
  }
  const auto taken = static_cast<std::size_t>(in_->gcount());
  // What getline took counts the newline, which is not part of the text; the last line of a
  // stream may have none.
  const bool newline = !in_->eof();
  in_->clear(in_->rdstate() & std::ios::eofbit);
  return std::string_view(buffer_.get(), taken - (newline ? 1 : 0));
}

std::expected<std::optional<TraceEvent>, TraceError> TraceReader::next() {
  if (pending_) return std::exchange(pending_, std::nullopt);
  ZEL_TRY_ASSIGN(const auto text, read_line());
  if (end_) {
    if (text) return std::unexpected(error("a line after the last line"));
    return std::nullopt;
  }
  if (!text) {
    if (header_.format == 1) return std::nullopt;
    return std::unexpected(
        TraceError{line_, "the trace ends here without its last line: it was cut short"});
  }
  return event_of(*text);
}

std::expected<std::optional<TraceEvent>, TraceError> TraceReader::event_of(std::string_view text) {
  const json object = json::parse(text, nullptr, false);
  if (!object.is_object()) return std::unexpected(error("not a JSON object"));
  TraceEvent event{.line = line_};
  std::optional<TraceEnd> end;
  const auto read = [&]() -> trace_line::Read<void> {
    ZEL_TRY_ASSIGN(event.t_ns, trace_line::time_of(object));
    if (event.t_ns < last_t_ns_) {
      return std::unexpected(
          fmt::format("t_ns goes back from {} to {}: lines out of order", last_t_ns_, event.t_ns));
    }
    const auto op = object.find("op");
    if (op == object.end() || !op->is_string()) return std::unexpected("no \"op\"");
    if (*op == "trace") return std::unexpected("a format line that is not the first line");
    if (*op == "end" && header_.format != 1) {
      ZEL_TRY_ASSIGN(end, trace_line::end_of(object));
      return {};
    }
    return trace_line::call_of(object, op->get<std::string>(), event);
  };
  if (auto done = read(); !done) return std::unexpected(error(done.error()));
  last_t_ns_ = event.t_ns;
  if (end) {
    end_ = std::move(end);
    return next();
  }
  if (++events_ > limits_.events) {
    return std::unexpected(error(fmt::format("more than {} events", limits_.events)));
  }
  return event;
}

}  // namespace zel_driver
