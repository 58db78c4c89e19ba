#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zel_sim/sim_device.hpp"

namespace zelsim {

// A fault of the simulated device that `zelsim run --fault NAME[=VALUE]` can switch on.
struct FaultSwitch {
  std::string_view name;
  std::string_view value;  // the form of VALUE, empty when the switch takes none
  std::string_view help;
  // Sets the switch in `config` and `faults` from the value, or says what is wrong with it.
  std::expected<void, std::string> (*apply)(std::optional<std::string_view> value,
                                            zel_sim::SimConfig& config, zel_sim::Faults& faults);
  // Where the device counts the times the switch took effect; none for a switch of the
  // configuration rather than a fault.
  std::uint64_t zel_sim::FaultFirings::*fired = nullptr;
};

std::span<const FaultSwitch> fault_catalog();

// "NAME" or "NAME=VALUE", applied.
std::expected<void, std::string> apply_fault(std::string_view text, zel_sim::SimConfig& config,
                                             zel_sim::Faults& faults);

}  // namespace zelsim
