#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "zel_log/log.hpp"

namespace zel_log {

// An owned copy of an event, for sinks that keep what they receive.
struct RecordedEvent {
  Level level;
  std::string target;
  std::string message;
  std::map<std::string, std::variant<std::uint64_t, std::string>, std::less<>> fields;

  std::optional<std::uint64_t> number(std::string_view name) const;
  std::optional<std::string> text(std::string_view name) const;
};

// Keeps every event it receives, in order; installs itself for its lifetime.
class CapturingSink final : public Sink {
 public:
  CapturingSink();
  ~CapturingSink() override;
  CapturingSink(const CapturingSink&) = delete;
  CapturingSink& operator=(const CapturingSink&) = delete;

  void write(const Event& event) override;

  const std::vector<RecordedEvent>& events() const { return events_; }
  // The events with this message, in order.
  std::vector<RecordedEvent> with_message(std::string_view message) const;
  void clear() { events_.clear(); }

 private:
  std::vector<RecordedEvent> events_;
};

}  // namespace zel_log
