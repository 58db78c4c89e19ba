#include "zel_driver/trace_format.hpp"

#include <iterator>

#include <nlohmann/json.hpp>

#include "zel_base/error.hpp"
#include "zel_base/os_error.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/request_names.hpp"

namespace zel_driver {
namespace {

using zel_base::Overloaded;

void append_json_text(fmt::memory_buffer& out, std::string_view text) {
  // Paths are bytes; anything that is not UTF-8 is replaced rather than refused.
  const std::string quoted = nlohmann::json(std::string(text))
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  out.append(quoted);
}

void append_words(fmt::memory_buffer& out, const std::array<std::uint32_t, 5>& words) {
  out.push_back('[');
  for (std::size_t i = 0; i < words.size(); ++i) {
    fmt::format_to(std::back_inserter(out), "{}\"0x{:x}\"", i == 0 ? "" : ",", words[i]);
  }
  out.push_back(']');
}

void append_offset(fmt::memory_buffer& out, const std::optional<std::uint32_t>& offset) {
  if (offset) {
    fmt::format_to(std::back_inserter(out), ",\"offset\":\"0x{:x}\"", *offset);
  } else {
    out.append(std::string_view(",\"offset\":\"outside\""));
  }
}

void append_argument(fmt::memory_buffer& out, const TracedArgument& argument) {
  auto to = std::back_inserter(out);
  std::visit(Overloaded{
                 [](const traced_argument::Unknown&) {},
                 [&](const traced_argument::Plain& plain) {
                   fmt::format_to(to, ",\"argument\":\"0x{:x}\"", plain.value);
                 },
                 [&](const traced_argument::Buffer& buffer) {
                   fmt::format_to(to, ",\"index\":\"0x{:x}\",\"size\":\"0x{:x}\"", buffer.index,
                                  buffer.size);
                 },
                 [&](const traced_argument::SecondaryId& id) {
                   fmt::format_to(to, ",\"id\":\"0x{:x}\"", id.id);
                 },
                 [&](const traced_argument::Mailbox& mailbox) {
                   out.append(std::string_view(",\"sent\":"));
                   append_words(out, mailbox.sent);
                 },
             },
             argument);
}

void append_call(fmt::memory_buffer& out, const TracedCall& call) {
  auto to = std::back_inserter(out);
  std::visit(Overloaded{
                 [&](const traced::Open& open) {
                   out.append(std::string_view(",\"path\":"));
                   append_json_text(out, open.path);
                   fmt::format_to(to, ",\"flags\":\"0x{:x}\"", open.flags);
                 },
                 [&](const traced::Close& close) { fmt::format_to(to, ",\"fd\":{}", close.fd); },
                 [&](const traced::Lock& lock) { fmt::format_to(to, ",\"fd\":{}", lock.fd); },
                 [&](const traced::Map& map) {
                   fmt::format_to(to, ",\"fd\":{},\"size\":\"0x{:x}\"", map.fd, map.size);
                 },
                 [&](const traced::MapAnonymous& map) {
                   fmt::format_to(to, ",\"size\":\"0x{:x}\"", map.size);
                 },
                 [&](const traced::Unmap& unmap) {
                   fmt::format_to(to, ",\"mapping\":\"{}\",\"size\":\"0x{:x}\"",
                                  unmap.configuration ? "configuration" : "host", unmap.size);
                 },
                 [&](const traced::Ioctl& ioctl) {
                   fmt::format_to(to, ",\"request\":\"{}\",\"number\":\"0x{:x}\"",
                                  request_name(ioctl.number).value_or("unknown"), ioctl.number);
                   append_argument(out, ioctl.argument);
                 },
                 [&](const traced::Load& load) { append_offset(out, load.offset); },
                 [&](const traced::Store& store) {
                   append_offset(out, store.offset);
                   fmt::format_to(to, ",\"value\":\"0x{:x}\"", store.value);
                 },
                 [](const traced::Barrier&) {},
                 [](const traced::Now&) {},
                 [&](const traced::Sleep& sleep) { fmt::format_to(to, ",\"ns\":{}", sleep.ns); },
                 [&](const traced::Phase& phase) {
                   out.append(std::string_view(",\"name\":"));
                   append_json_text(out, phase.name);
                 },
             },
             call);
}

void append_result(fmt::memory_buffer& out, const TracedAnswer& answer) {
  fmt::format_to(std::back_inserter(out), ",\"result\":{}", answer.result);
  if (answer.result < 0) {
    fmt::format_to(std::back_inserter(out), ",\"errno\":\"{}\"",
                   zel_base::OsError(answer.error).name());
  }
}

void append_answer(fmt::memory_buffer& out, const TracedCall& call, const TracedAnswer& answer) {
  std::visit(Overloaded{
                 [&](const traced::Lock&) {
                   append_result(out, answer);
                   if (answer.result != 0) {
                     fmt::format_to(std::back_inserter(out), ",\"holder\":{}", answer.holder);
                   }
                 },
                 [&](const traced::Ioctl&) {
                   if (answer.received) {
                     out.append(std::string_view(",\"received\":"));
                     append_words(out, *answer.received);
                   }
                   append_result(out, answer);
                 },
                 [&](const traced::Load&) {
                   fmt::format_to(std::back_inserter(out), ",\"value\":\"0x{:x}\"", answer.value);
                 },
                 [](const traced::Store&) {},
                 [](const traced::Barrier&) {},
                 [](const traced::Now&) {},
                 [](const traced::Sleep&) {},
                 [](const traced::Phase&) {},
                 [&](const auto&) { append_result(out, answer); },
             },
             call);
}

}  // namespace

TracedArgument traced_argument_of(unsigned long request, unsigned long argument) {
  if (argument != 0 && request == IOCTL_MAILBOX) {
    const auto* record = reinterpret_cast<const MailboxArgument*>(argument);
    return traced_argument::Mailbox{reinterpret_cast<const MailboxMessage*>(record->sent)->words};
  }
  if (argument != 0 && request == IOCTL_ATTACH_BUFFER) {
    const auto* record = reinterpret_cast<const AttachBufferData*>(argument);
    return traced_argument::Buffer{record->index, record->size};
  }
  if (argument != 0 && request == IOCTL_SET_SECONDARY_ID) {
    return traced_argument::SecondaryId{*reinterpret_cast<const std::uint32_t*>(argument)};
  }
  // Every other request of the interface takes a plain value.
  if (request_name(request)) return traced_argument::Plain{argument};
  return traced_argument::Unknown{};
}

std::string_view op_name(const TracedCall& call) {
  static constexpr std::string_view NAMES[] = {"open",  "close", "lock", "map",   "map-anonymous",
                                               "unmap", "ioctl", "load", "store", "barrier",
                                               "now",   "sleep", "phase"};
  static_assert(std::size(NAMES) == std::variant_size_v<TracedCall>);
  return NAMES[call.index()];
}

void append_trace_line(fmt::memory_buffer& line, std::int64_t t_ns, const TracedCall& call,
                       const TracedAnswer& answer) {
  fmt::format_to(std::back_inserter(line), "{{\"t_ns\":{},\"op\":\"{}\"", t_ns, op_name(call));
  append_call(line, call);
  append_answer(line, call, answer);
  line.push_back('}');
}

std::string call_text(const TracedCall& call) {
  fmt::memory_buffer text;
  fmt::format_to(std::back_inserter(text), "{{\"op\":\"{}\"", op_name(call));
  append_call(text, call);
  text.push_back('}');
  return fmt::to_string(text);
}

std::string event_text(const TraceEvent& event) {
  fmt::memory_buffer text;
  append_trace_line(text, event.t_ns, event.call, event.answer);
  return fmt::to_string(text);
}

}  // namespace zel_driver
