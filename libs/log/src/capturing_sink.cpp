#include "zel_log/capturing_sink.hpp"

namespace zel_log {

std::optional<std::uint64_t> RecordedEvent::number(std::string_view name) const {
  auto found = fields.find(name);
  if (found == fields.end()) return std::nullopt;
  if (const auto* value = std::get_if<std::uint64_t>(&found->second)) return *value;
  return std::nullopt;
}

std::optional<std::string> RecordedEvent::text(std::string_view name) const {
  auto found = fields.find(name);
  if (found == fields.end()) return std::nullopt;
  if (const auto* value = std::get_if<std::string>(&found->second)) return *value;
  return std::nullopt;
}

CapturingSink::CapturingSink() { set_sink(this); }

CapturingSink::~CapturingSink() { set_sink(nullptr); }

void CapturingSink::write(const Event& event) {
  RecordedEvent recorded{event.level, std::string(event.target), std::string(event.message), {}};
  for (const Field& field : event.fields) {
    if (const auto* number = std::get_if<std::uint64_t>(&field.value)) {
      recorded.fields.emplace(std::string(field.name), *number);
    } else {
      recorded.fields.emplace(std::string(field.name), field_text(field.value));
    }
  }
  events_.push_back(std::move(recorded));
}

std::vector<RecordedEvent> CapturingSink::with_message(std::string_view message) const {
  std::vector<RecordedEvent> found;
  for (const RecordedEvent& event : events_) {
    if (event.message == message) found.push_back(event);
  }
  return found;
}

}  // namespace zel_log
