#include <fstream>

#include <fmt/format.h>

#include "trace_diff.hpp"
#include "zel/commands.hpp"
#include "zel_base/error.hpp"
#include "zel_base/os_error.hpp"

namespace zel {
namespace {

using zel_base::debug_quote;

// "{"op":"load","offset":"0x3b7dc"} reads 0x0 (tile 735 address 0x80000)" for a load compared by
// value; the event's own text otherwise.
std::string shown(const HostEvent& event) {
  if (!event.value) return event.text;
  return fmt::format("{} reads 0x{:x} ({})", event.text, *event.value, event.reads);
}

void print_side(const char* mark, const char* name, const std::vector<HostEvent>& events,
                std::ostream& out) {
  for (const HostEvent& event : events) {
    out << fmt::format("  {} {}:{}  {}\n", mark, name, event.line, shown(event));
  }
  if (events.empty()) out << fmt::format("  {} {} ends here\n", mark, name);
}

// "first differing load: tile 735 address 0x80000 read "0x0" in A, "0x7e007e00" in B": the
// word where the two parted, when the first differing events are loads of one tile-memory
// word, as the check decides on them.
void print_word(const Divergence& divergence, std::ostream& out) {
  if (divergence.first.empty() || divergence.second.empty()) return;
  const HostEvent &a = divergence.first.front(), &b = divergence.second.front();
  if (!a.value || !b.value || a.text != b.text) return;
  out << fmt::format("first differing load: {} read \"0x{:x}\" in A, \"0x{:x}\" in B\n", a.reads,
                     *a.value, *b.value);
}

}  // namespace

int trace_diff_command(const TraceDiffOptions& options, std::ostream& out, std::ostream& err) {
  std::ifstream first(options.first, std::ios::binary), second(options.second, std::ios::binary);
  for (const auto& [file, path] : {std::pair{&first, &options.first}, {&second, &options.second}}) {
    if (!file->is_open()) {
      err << fmt::format("zel trace diff: cannot read {}: {}\n", debug_quote(*path),
                         zel_base::OsError::last().reason());
      return EXIT_USAGE;
    }
  }
  auto compared = compare_traces(first, second, {.values = options.values});
  if (!compared) {
    const DiffError& error = compared.error();
    err << fmt::format("zel trace diff: {}: {}\n",
                       debug_quote(error.second ? options.second : options.first),
                       error.error.text());
    return EXIT_USAGE;
  }
  if (!*compared) {
    out << (options.values ? "the traces show the same host events and loaded values\n"
                           : "the traces show the same host events\n");
    return 0;
  }
  const Divergence& divergence = **compared;
  out << fmt::format("first divergence after {} matching host events (A {}, B {}):\n",
                     divergence.matching, debug_quote(options.first), debug_quote(options.second));
  for (const HostEvent& event : divergence.before) {
    out << fmt::format("    A:{}  {}\n", event.line, shown(event));
  }
  print_side("-", "A", divergence.first, out);
  print_side("+", "B", divergence.second, out);
  print_word(divergence, out);
  return 1;
}

}  // namespace zel
