#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zel_sim/sim_device.hpp"

namespace zel {

// A fault of the simulated device that `zel run --fault NAME[=VALUE]` can switch on.
struct FaultSwitch {
  std::string_view name;
  std::string_view value;  // the form of VALUE, empty when the switch takes none
  std::string_view help;
  // Sets the switch in `config` and `faults` from the value, or says what is wrong with it:
  // a value the syntax does not allow, or one that can never fire on a device of
  // `config.tile_count` tiles (a tile it does not have, an address outside tile memory, ...).
  std::expected<void, std::string> (*apply)(std::optional<std::string_view> value,
                                            zel_sim::SimConfig& config, zel_sim::Faults& faults);
  // Where the device counts the times the switch took effect.
  std::uint64_t zel_sim::FaultFirings::*fired;
};

std::span<const FaultSwitch> fault_catalog();

// The switch of "NAME" or "NAME=VALUE"; the name must be one of the catalog's.
const FaultSwitch& switch_named(std::string_view fault);

// "NAME" or "NAME=VALUE", applied.
[[nodiscard]] std::expected<void, std::string> apply_fault(std::string_view text,
                                                           zel_sim::SimConfig& config,
                                                           zel_sim::Faults& faults);

// How a --fault fared in a run: the text given and the times it took effect.
struct FaultFiring {
  std::string fault;
  std::uint64_t fired;
};
std::vector<FaultFiring> fault_firings(std::span<const std::string> faults,
                                       const zel_sim::FaultFirings& firings);

// How a whole run of the tool on the fixtures' inputs ends with one fault switched on. The
// fault matrix runs every row; `zel faults` shows them beside the switches.
struct FaultOutcome {
  const char* fault;  // as given to --fault
  int status;
  const char* err;  // the whole of standard error
  bool reset_line;  // "memory reset: ..." on standard output
};

std::span<const FaultOutcome> fault_outcomes();

}  // namespace zel
