#include "zel_driver/trace_reader.hpp"

#include <algorithm>
#include <charconv>
#include <functional>
#include <span>

#include <nlohmann/json.hpp>

#include "zel_base/os_error.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/request_names.hpp"

namespace zel_driver {
namespace {

using json = nlohmann::ordered_json;
template <class T>
using Read = std::expected<T, std::string>;

// A hexadecimal string ("0x1f") of at most `largest`.
Read<std::uint64_t> hex_of(const json& value, std::string_view name, std::uint64_t largest) {
  const std::string* text = value.get_ptr<const std::string*>();
  std::uint64_t number = 0;
  if (text != nullptr && text->size() > 2 && text->starts_with("0x")) {
    const char* end = text->data() + text->size();
    const auto [at, error] = std::from_chars(text->data() + 2, end, number, 16);
    if (error == std::errc() && at == end && number <= largest) return number;
  }
  return std::unexpected(
      fmt::format("\"{}\" is not a hexadecimal string up to 0x{:x}", name, largest));
}

// The fields of one line besides "t_ns" and "op", each taken once; a field nobody took is
// unknown.
class LineFields {
 public:
  explicit LineFields(const json& object) : object_(object) {}

  bool has(const char* name) const { return object_.contains(name); }

  Read<std::reference_wrapper<const json>> take(const char* name) {
    const auto found = object_.find(name);
    if (found == object_.end()) return std::unexpected(fmt::format("no \"{}\"", name));
    if (taken_ < names_.size()) names_[taken_] = name;
    ++taken_;
    return std::cref(*found);
  }

  Read<std::uint64_t> hex(const char* name, std::uint64_t largest = UINT32_MAX) {
    ZEL_TRY_ASSIGN(const json& value, take(name));
    return hex_of(value, name, largest);
  }

  Read<std::int64_t> integer(const char* name, std::int64_t smallest = INT32_MIN,
                             std::int64_t largest = INT32_MAX) {
    ZEL_TRY_ASSIGN(const json& value, take(name));
    const bool fits = value.is_number_unsigned()
                          ? value.get<std::uint64_t>() <= std::uint64_t(largest)
                          : value.is_number_integer() && value.get<std::int64_t>() >= smallest &&
                                value.get<std::int64_t>() <= largest;
    if (!fits) {
      return std::unexpected(
          fmt::format("\"{}\" is not a whole number from {} to {}", name, smallest, largest));
    }
    return value.get<std::int64_t>();
  }

  Read<std::string> text(const char* name) {
    ZEL_TRY_ASSIGN(const json& value, take(name));
    if (!value.is_string()) return std::unexpected(fmt::format("\"{}\" is not a string", name));
    return value.get<std::string>();
  }

  Read<std::array<std::uint32_t, 5>> words(const char* name) {
    ZEL_TRY_ASSIGN(const json& value, take(name));
    std::array<std::uint32_t, 5> words{};
    if (!value.is_array() || value.size() != words.size()) {
      return std::unexpected(fmt::format("\"{}\" is not a list of five words", name));
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
      ZEL_TRY_ASSIGN(const auto word, hex_of(value[i], name, UINT32_MAX));
      words[i] = static_cast<std::uint32_t>(word);
    }
    return words;
  }

  // An object of the recording program's, as one line of JSON.
  Read<std::string> object(const char* name) {
    ZEL_TRY_ASSIGN(const json& value, take(name));
    if (!value.is_object()) return std::unexpected(fmt::format("\"{}\" is not an object", name));
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
  }

  // Called once every field of the op is taken.
  Read<void> nothing_else() const {
    if (object_.size() == taken_ + 2) return {};
    for (const auto& [key, value] : object_.items()) {
      const auto taken = std::span(names_).first(std::min(taken_, names_.size()));
      if (key != "t_ns" && key != "op" && std::ranges::find(taken, key) == taken.end()) {
        return std::unexpected(fmt::format("unknown field {}", json(key).dump()));
      }
    }
    return {};
  }

 private:
  const json& object_;
  std::size_t taken_ = 0;
  std::array<std::string_view, 8> names_{};  // more than any op has
};

// "result", and "errno" when it is negative.
Read<TracedAnswer> result(LineFields& fields) {
  TracedAnswer answer;
  ZEL_TRY_ASSIGN(answer.result, fields.integer("result"));
  if (answer.result < 0) {
    ZEL_TRY_ASSIGN(const std::string name, fields.text("errno"));
    const auto error = zel_base::OsError::named(name);
    if (!error)
      return std::unexpected(fmt::format("\"errno\" {} is no error name", json(name).dump()));
    answer.error = error->code();
  }
  return answer;
}

// A configuration offset, or "outside" for an address outside the configuration space.
Read<std::optional<std::uint32_t>> offset(LineFields& fields) {
  ZEL_TRY_ASSIGN(const json& value, fields.take("offset"));
  if (value == "outside") return std::nullopt;
  ZEL_TRY_ASSIGN(const auto at, hex_of(value, "offset", UINT32_MAX));
  return static_cast<std::uint32_t>(at);
}

// The argument as the writer decodes it for the request `number`.
Read<TracedArgument> ioctl_argument(LineFields& fields, std::uint64_t number) {
  if (number == IOCTL_MAILBOX && fields.has("sent")) {
    ZEL_TRY_ASSIGN(const auto sent, fields.words("sent"));
    return traced_argument::Mailbox{sent};
  }
  if (number == IOCTL_ATTACH_BUFFER && fields.has("index")) {
    ZEL_TRY_ASSIGN(const auto index, fields.hex("index"));
    ZEL_TRY_ASSIGN(const auto size, fields.hex("size"));
    return traced_argument::Buffer{static_cast<std::uint32_t>(index),
                                   static_cast<std::uint32_t>(size)};
  }
  if (number == IOCTL_SET_SECONDARY_ID && fields.has("id")) {
    ZEL_TRY_ASSIGN(const auto id, fields.hex("id"));
    return traced_argument::SecondaryId{static_cast<std::uint32_t>(id)};
  }
  if (!request_name(number)) return traced_argument::Unknown{};
  ZEL_TRY_ASSIGN(const auto value, fields.hex("argument", UINT64_MAX));
  return traced_argument::Plain{value};
}

Read<void> read_ioctl(LineFields& fields, TraceEvent& event) {
  ZEL_TRY_ASSIGN(const std::string request, fields.text("request"));
  ZEL_TRY_ASSIGN(const std::uint64_t number, fields.hex("number", UINT64_MAX));
  const std::string_view name = request_name(number).value_or("unknown");
  if (request != name) {
    return std::unexpected(fmt::format("request {} is not the name of number 0x{:x} ({})",
                                       json(request).dump(), number, name));
  }
  ZEL_TRY_ASSIGN(const TracedArgument argument, ioctl_argument(fields, number));
  event.call = traced::Ioctl{number, argument};
  ZEL_TRY_ASSIGN(event.answer, result(fields));
  // The kernel's answer to a message that went through.
  if (std::holds_alternative<traced_argument::Mailbox>(argument) && event.answer.result == 0) {
    ZEL_TRY_ASSIGN(event.answer.received, fields.words("received"));
  }
  return {};
}

Read<void> read_lock(LineFields& fields, TraceEvent& event) {
  ZEL_TRY_ASSIGN(const auto fd, fields.integer("fd"));
  event.call = traced::Lock{fd};
  ZEL_TRY_ASSIGN(event.answer, result(fields));
  if (event.answer.result != 0) {
    ZEL_TRY_ASSIGN(event.answer.holder, fields.integer("holder"));
  }
  return {};
}

Read<void> read_unmap(LineFields& fields, TraceEvent& event) {
  ZEL_TRY_ASSIGN(const std::string mapping, fields.text("mapping"));
  if (mapping != "configuration" && mapping != "host") {
    return std::unexpected(
        fmt::format("\"mapping\" {} is neither configuration nor host", json(mapping).dump()));
  }
  ZEL_TRY_ASSIGN(const auto size, fields.hex("size", UINT64_MAX));
  event.call = traced::Unmap{mapping == "configuration", size};
  ZEL_TRY_ASSIGN(event.answer, result(fields));
  return {};
}

// The call and answer of a line of op `op`.
Read<void> read_call(const std::string& op, LineFields& fields, TraceEvent& event) {
  if (op == "load") {
    ZEL_TRY_ASSIGN(const auto at, offset(fields));
    event.call = traced::Load{at};
    ZEL_TRY_ASSIGN(const auto value, fields.hex("value"));
    event.answer.value = static_cast<std::uint32_t>(value);
  } else if (op == "store") {
    ZEL_TRY_ASSIGN(const auto at, offset(fields));
    ZEL_TRY_ASSIGN(const auto value, fields.hex("value"));
    event.call = traced::Store{at, static_cast<std::uint32_t>(value)};
  } else if (op == "now") {
    event.call = traced::Now{};
  } else if (op == "sleep") {
    ZEL_TRY_ASSIGN(const auto ns, fields.integer("ns", 0, INT64_MAX));
    event.call = traced::Sleep{ns};
  } else if (op == "phase") {
    ZEL_TRY_ASSIGN(std::string name, fields.text("name"));
    event.call = traced::Phase{std::move(name)};
  } else if (op == "ioctl") {
    return read_ioctl(fields, event);
  } else if (op == "open") {
    ZEL_TRY_ASSIGN(std::string path, fields.text("path"));
    ZEL_TRY_ASSIGN(const auto flags, fields.hex("flags"));
    event.call = traced::Open{std::move(path), static_cast<std::uint32_t>(flags)};
    ZEL_TRY_ASSIGN(event.answer, result(fields));
  } else if (op == "close") {
    ZEL_TRY_ASSIGN(const auto fd, fields.integer("fd"));
    event.call = traced::Close{fd};
    ZEL_TRY_ASSIGN(event.answer, result(fields));
  } else if (op == "lock") {
    return read_lock(fields, event);
  } else if (op == "map") {
    ZEL_TRY_ASSIGN(const auto fd, fields.integer("fd"));
    ZEL_TRY_ASSIGN(const auto size, fields.hex("size", UINT64_MAX));
    event.call = traced::Map{fd, size};
    ZEL_TRY_ASSIGN(event.answer, result(fields));
  } else if (op == "map-anonymous") {
    ZEL_TRY_ASSIGN(const auto size, fields.hex("size", UINT64_MAX));
    event.call = traced::MapAnonymous{size};
    ZEL_TRY_ASSIGN(event.answer, result(fields));
  } else if (op == "unmap") {
    return read_unmap(fields, event);
  } else {
    return std::unexpected(fmt::format("unknown op {}", json(op).dump()));
  }
  return {};
}

// "t_ns", nanoseconds since the trace began.
Read<std::int64_t> time_of(const json& object) {
  const auto t_ns = object.find("t_ns");
  if (t_ns == object.end() || !t_ns->is_number_unsigned() ||
      t_ns->get<std::uint64_t>() > std::uint64_t(INT64_MAX)) {
    return std::unexpected("no \"t_ns\" of nanoseconds");
  }
  return t_ns->get<std::int64_t>();
}

Read<TraceHeader> header_of(const json& object) {
  ZEL_TRY(time_of(object));
  LineFields fields(object);
  TraceHeader header;
  ZEL_TRY_ASSIGN(const std::string format, fields.text("format"));
  if (format != TRACE_FORMAT) {
    return std::unexpected(fmt::format("trace format {} is not one this zel reads ({})",
                                       json(format).dump(), TRACE_FORMAT));
  }
  ZEL_TRY_ASSIGN(header.version, fields.text("version"));
  ZEL_TRY_ASSIGN(header.source_revision, fields.text("source_revision"));
  ZEL_TRY_ASSIGN(header.run, fields.object("run"));
  ZEL_TRY(fields.nothing_else());
  return header;
}

// The last line: its time and the recording program's account of how the run ended.
Read<TraceEnd> end_of(const json& object) {
  TraceEnd end;
  ZEL_TRY_ASSIGN(end.t_ns, time_of(object));
  LineFields fields(object);
  ZEL_TRY_ASSIGN(end.run, fields.object("run"));
  ZEL_TRY(fields.nothing_else());
  return end;
}

}  // namespace

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
  auto end = end_of(object);
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
    auto header = header_of(object);
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
  LineFields fields(object);
  TraceEvent event{.line = line_};
  std::optional<TraceEnd> end;
  const auto read = [&]() -> Read<void> {
    ZEL_TRY_ASSIGN(event.t_ns, time_of(object));
    if (event.t_ns < last_t_ns_) {
      return std::unexpected(
          fmt::format("t_ns goes back from {} to {}: lines out of order", last_t_ns_, event.t_ns));
    }
    const auto op = object.find("op");
    if (op == object.end() || !op->is_string()) return std::unexpected("no \"op\"");
    if (*op == "trace") return std::unexpected("a format line that is not the first line");
    if (*op == "end" && header_.format != 1) {
      ZEL_TRY_ASSIGN(end, end_of(object));
      return {};
    }
    ZEL_TRY(read_call(op->get<std::string>(), fields, event));
    return fields.nothing_else();
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
