#include "trace_line.hpp"

#include <algorithm>
#include <charconv>
#include <functional>
#include <span>

#include "zel_base/os_error.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/request_names.hpp"

namespace zel_driver::trace_line {
namespace {

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
Read<void> read_call(std::string_view op, LineFields& fields, TraceEvent& event) {
  if (op == "load") {
    ZEL_TRY_ASSIGN(const auto at, offset(fields));
    event.call = traced::Load{at};
    ZEL_TRY_ASSIGN(const auto value, fields.hex("value"));
    event.answer.value = static_cast<std::uint32_t>(value);
  } else if (op == "store") {
    ZEL_TRY_ASSIGN(const auto at, offset(fields));
    ZEL_TRY_ASSIGN(const auto value, fields.hex("value"));
    event.call = traced::Store{at, static_cast<std::uint32_t>(value)};
  } else if (op == "barrier") {
    event.call = traced::Barrier{};
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

}  // namespace

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

Read<void> call_of(const json& object, std::string_view op, TraceEvent& event) {
  LineFields fields(object);
  ZEL_TRY(read_call(op, fields, event));
  return fields.nothing_else();
}

}  // namespace zel_driver::trace_line
