#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

// The structured logging facade of the libraries. Events carry a level, a target (the
// library's name), a fixed message and named fields. No sink is installed by default; with
// none installed an event costs one branch.
namespace zel_log {

enum class Level { Trace, Debug, Info };

std::string_view level_name(Level level);

// An unsigned integer that reads as the text "0x…" (a register offset, an address): formatted
// by the sink, so an event nobody wants costs no formatting.
struct Hex {
  std::uint64_t value;
};

// A field value is an unsigned integer, a text or a Hex. Texts are borrowed for the duration
// of the call to the sink; a sink that keeps them copies them.
using FieldValue = std::variant<std::uint64_t, std::string_view, Hex>;

// The text of a text or Hex field; the number of a number field as its decimal text.
std::string field_text(const FieldValue& value);

struct Field {
  std::string_view name;
  FieldValue value;
};

struct Event {
  Level level;
  std::string_view target;
  std::string_view message;
  std::span<const Field> fields;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Whether events of `level` are wanted at all; emit asks first, so an event nobody wants
  // costs no formatting.
  virtual bool accepts(Level) const { return true; }
  virtual void write(const Event& event) = 0;
};

namespace detail {
extern std::atomic<Sink*> installed_sink;
}

// Installs `sink` for every later event (nullptr removes it). The sink must outlive its use.
void set_sink(Sink* sink);

inline void emit(Level level, std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields = {}) {
  Sink* sink = detail::installed_sink.load(std::memory_order_relaxed);
  if (sink != nullptr && sink->accepts(level)) {
    sink->write(
        Event{level, target, message, std::span<const Field>(fields.begin(), fields.size())});
  }
}

// One line per event: "LEVEL target: message name=value ...", texts quoted and escaped as
// debug forms quote them (zel_base::debug_quote), so a text holds no line break.
std::string format_event(const Event& event);

}  // namespace zel_log
