#include "zel_log/log.hpp"

#include <string>

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

std::string format_event(const Event& event) {
  std::string line;
  line.append(level_name(event.level)).append(" ").append(event.target).append(": ");
  line.append(event.message);
  for (const Field& field : event.fields) {
    line.append(" ").append(field.name).append("=");
    if (const auto* number = std::get_if<std::uint64_t>(&field.value)) {
      line.append(std::to_string(*number));
    } else {
      // Texts may come from input files: quoted so that they are whole and safe to print.
      line.append(zel_base::debug_quote(std::get<std::string_view>(field.value)));
    }
  }
  return line;
}

}  // namespace zel_log
