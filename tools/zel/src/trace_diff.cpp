#include "trace_diff.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace zel {
namespace {

using nlohmann::json;

// The fields of a line that say what the host asked; times, results and what the kernel
// answered are left out, since they differ between devices.
bool compared_field(const std::string& key) {
  return key != "t_ns" && key != "op" && key != "request" && key != "number" && key != "result" &&
         key != "errno" && key != "received";
}

std::string request_text(const json& object) {
  std::string text = fmt::format("ioctl {}", object.value("request", "unknown"));
  for (const auto& [key, value] : object.items()) {
    if (compared_field(key)) text += fmt::format(" {}={}", key, value.dump());
  }
  return text;
}

}  // namespace

std::expected<std::optional<HostEvent>, std::string> HostEventReader::read_line() {
  std::string text;
  while (std::getline(trace_, text)) {
    ++line_;
    const json object = json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object() || !object.contains("op") ||
        !object["op"].is_string()) {
      return std::unexpected(fmt::format("line {} is not a trace line", line_));
    }
    const std::string op = object["op"];
    const auto field = [&](const char* name) {
      return object.contains(name) ? object[name].dump() : std::string("?");
    };
    if (op == "ioctl") return HostEvent{request_text(object), line_};
    if (op == "store")
      return HostEvent{fmt::format("store {} {}", field("offset"), field("value")), line_};
    if (op == "load") return HostEvent{fmt::format("load {}", field("offset")), line_};
  }
  if (trace_.bad()) return std::unexpected(fmt::format("read failed after line {}", line_));
  return std::nullopt;
}

std::expected<std::optional<HostEvent>, std::string> HostEventReader::next() {
  std::optional<HostEvent> event = std::exchange(pending_, std::nullopt);
  if (!event) {
    auto read = read_line();
    if (!read || !*read) return read;
    event = std::move(**read);
  }
  if (!event->text.starts_with("load ")) return event;
  for (;;) {
    auto read = read_line();
    if (!read) return read;
    if (!*read || **read != *event) {
      pending_ = std::move(*read);
      return event;
    }
  }
}

std::expected<std::optional<Divergence>, std::string> compare_traces(std::istream& first,
                                                                     std::istream& second,
                                                                     std::size_t context) {
  HostEventReader a(first), b(second);
  Divergence divergence;
  for (;;) {
    auto from_a = a.next();
    if (!from_a) return std::unexpected("A: " + from_a.error());
    auto from_b = b.next();
    if (!from_b) return std::unexpected("B: " + from_b.error());
    if (!*from_a && !*from_b) return std::nullopt;
    if (*from_a && *from_b && **from_a == **from_b) {
      ++divergence.matching;
      divergence.before.push_back(std::move(**from_a));
      if (divergence.before.size() > context) divergence.before.pop_front();
      continue;
    }
    // Parted: a few events of each side from here on.
    for (auto [reader, side, event] : {std::tuple{&a, &divergence.first, std::move(*from_a)},
                                       std::tuple{&b, &divergence.second, std::move(*from_b)}}) {
      while (event && side->size() <= context) {
        side->push_back(std::move(*event));
        auto more = reader->next();
        if (!more) break;  // the divergence stands; what follows a bad line is not shown
        event = std::move(*more);
      }
    }
    return divergence;
  }
}

}  // namespace zel
