#include "zel_log/log.hpp"

#include <string>

#include <fmt/format.h>

#include "zel_base/error.hpp"

namespace zel_log {

namespace detail {
std::atomic<Sink*> installed_sink{nullptr};
}

void set_sink(Sink* sink) { detail::installed_sink.store(sink, std::memory_order_relaxed); }

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace:
      return "TRACE";
    case Level::Debug:
      return "DEBUG";
    case Level::Info:
      return "INFO";
  }
  return "?";
}

std::string field_text(const FieldValue& value) {
  if (const auto* number = std::get_if<std::uint64_t>(&value)) return std::to_string(*number);
  if (const auto* hex = std::get_if<Hex>(&value)) return fmt::format("0x{:x}", hex->value);
  return std::string(std::get<std::string_view>(value));
}

std::string format_event(const Event& event) {
  std::string line;
  line.append(level_name(event.level)).append(" ").append(event.target).append(": ");
  line.append(event.message);
  for (const Field& field : event.fields) {
    line.append(" ").append(field.name).append("=");
    if (std::holds_alternative<std::uint64_t>(field.value)) {
      line.append(field_text(field.value));
    } else {
      // Quoted and escaped: a text from a file cannot end the line or forge another field.
      line.append(zel_base::debug_quote(field_text(field.value)));
    }
  }
  return line;
}

}  // namespace zel_log
