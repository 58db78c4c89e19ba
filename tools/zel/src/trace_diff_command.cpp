#include <fstream>

#include <fmt/format.h>

#include "trace_diff.hpp"
#include "zel/commands.hpp"

namespace zel {
namespace {

void print_side(const char* mark, const char* name, const std::vector<HostEvent>& events,
                std::ostream& out) {
  for (const HostEvent& event : events) {
    out << fmt::format("  {} {}:{}  {}\n", mark, name, event.line, event.text);
  }
  if (events.empty()) out << fmt::format("  {} {} ends here\n", mark, name);
}

}  // namespace

int trace_diff_command(const TraceDiffOptions& options, std::ostream& out, std::ostream& err) {
  std::ifstream first(options.first), second(options.second);
  for (const auto& [file, path] : {std::pair{&first, &options.first}, {&second, &options.second}}) {
    if (!file->is_open()) {
      err << fmt::format("zel trace diff: cannot read {}\n", *path);
      return EXIT_USAGE;
    }
  }
  auto compared = compare_traces(first, second);
  if (!compared) {
    err << fmt::format("zel trace diff: {}\n", compared.error());
    return EXIT_USAGE;
  }
  if (!*compared) {
    out << "the traces show the same host events\n";
    return 0;
  }
  const Divergence& divergence = **compared;
  out << fmt::format("first divergence after {} matching host events (A {}, B {}):\n",
                     divergence.matching, options.first, options.second);
  for (const HostEvent& event : divergence.before)
    out << fmt::format("    A:{}  {}\n", event.line, event.text);
  print_side("-", "A", divergence.first, out);
  print_side("+", "B", divergence.second, out);
  return 1;
}

}  // namespace zel
