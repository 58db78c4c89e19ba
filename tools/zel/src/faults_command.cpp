#include <fmt/format.h>

#include "zel/commands.hpp"
#include "zel/fault_catalog.hpp"

namespace zel {
namespace {

// NAME, NAME=VALUE or NAME[=VALUE], as --fault takes it.
std::string shown(const FaultSwitch& fault) {
  if (fault.value.starts_with('[')) return fmt::format("{}[={}", fault.name, fault.value.substr(1));
  if (!fault.value.empty()) return fmt::format("{}={}", fault.name, fault.value);
  return std::string(fault.name);
}

bool outcome_of(std::string_view fault, const FaultSwitch& of) {
  return &switch_named(fault) == &of;
}

// Every line of `text`, indented.
std::string indented(std::string_view text, std::string_view indent) {
  std::string lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines += fmt::format("{}{}\n", indent, text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

int faults_command(std::ostream& out) {
  out << "Fault switches of the simulated device (zel run --fault NAME[=VALUE], repeatable).\n"
         "Under each: how a whole run on the `zel fixtures` inputs ends with it.\n";
  for (const FaultSwitch& fault : fault_catalog()) {
    out << fmt::format("\n{}\n    {}\n", shown(fault), fault.help);
    for (const FaultOutcome& outcome : fault_outcomes()) {
      if (!outcome_of(outcome.fault, fault)) continue;
      const char* printed = outcome.status == 0  ? ", poison/reset/readback PASS"
                            : outcome.reset_line ? ", after the memory reset line"
                                                 : "";
      out << fmt::format("    --fault {}: exit {}{}\n", outcome.fault, outcome.status, printed);
      out << indented(outcome.err, "        ");
    }
  }
  return 0;
}

}  // namespace zel
