#include "trace_diff.hpp"

#include <fmt/format.h>

#include "zel_base/try.hpp"

namespace zel {
namespace {

using zel_driver::TraceError;

// The phases whose loads read what the check decides on.
bool compares_values(std::string_view phase) { return phase == "poison" || phase == "readback"; }

}  // namespace

std::expected<HostEventReader, TraceError> HostEventReader::open(std::istream& trace, bool values) {
  ZEL_TRY_ASSIGN(auto reader, zel_driver::TraceReader::open(trace, true));
  return HostEventReader(std::move(reader), values);
}

std::expected<std::optional<HostEvent>, TraceError> HostEventReader::read_event() {
  for (;;) {
    ZEL_TRY_ASSIGN(auto event, reader_.next());
    if (!event) return std::nullopt;
    const zel_driver::TracedCall& call = event->call;
    if (const auto* phase = std::get_if<zel_driver::traced::Phase>(&call)) {
      value_phase_ = values_ && compares_values(phase->name);
      continue;
    }
    // Times, results, errno and what the kernel answered differ between devices.
    words_.saw(call);
    HostEvent host{.text = zel_driver::call_text(call), .line = event->line};
    if (const auto* load = std::get_if<zel_driver::traced::Load>(&call)) {
      if (value_phase_ && load->offset) {
        host.value = event->answer.value;
        host.reads = words_.what_loads(*load->offset);
      }
      return host;
    }
    if (std::holds_alternative<zel_driver::traced::Store>(call) ||
        std::holds_alternative<zel_driver::traced::Ioctl>(call)) {
      return host;
    }
  }
}

std::expected<std::optional<HostEvent>, TraceError> HostEventReader::next() {
  std::optional<HostEvent> event = std::exchange(pending_, std::nullopt);
  if (!event) {
    ZEL_TRY_ASSIGN(event, read_event());
    if (!event) return std::nullopt;
  }
  if (!event->text.starts_with(R"({"op":"load")")) return event;
  // A run of loads of one offset is one event, with the value the run ended on.
  for (;;) {
    ZEL_TRY_ASSIGN(auto more, read_event());
    if (!more || more->text != event->text) {
      pending_ = std::move(more);
      return event;
    }
    event->value = more->value;
  }
}

std::expected<std::optional<Divergence>, DiffError> compare_traces(std::istream& first,
                                                                   std::istream& second,
                                                                   DiffSettings settings) {
  auto a = HostEventReader::open(first, settings.values);
  if (!a) return std::unexpected(DiffError{false, a.error()});
  auto b = HostEventReader::open(second, settings.values);
  if (!b) return std::unexpected(DiffError{true, b.error()});
  Divergence divergence;
  for (;;) {
    auto from_a = a->next();
    if (!from_a) return std::unexpected(DiffError{false, from_a.error()});
    auto from_b = b->next();
    if (!from_b) return std::unexpected(DiffError{true, from_b.error()});
    if (!*from_a && !*from_b) return std::nullopt;
    if (*from_a && *from_b && **from_a == **from_b) {
      ++divergence.matching;
      divergence.before.push_back(std::move(**from_a));
      if (divergence.before.size() > settings.context) divergence.before.pop_front();
      continue;
    }
    // Parted: a few events of each side from here on.
    for (auto [reader, side, event] : {std::tuple{&*a, &divergence.first, std::move(*from_a)},
                                       std::tuple{&*b, &divergence.second, std::move(*from_b)}}) {
      while (event && side->size() <= settings.context) {
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
