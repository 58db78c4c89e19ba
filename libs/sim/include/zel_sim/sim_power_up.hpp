#pragma once

#include <cstdint>
#include <span>

namespace zel_sim {

// Register values of a freshly powered device. They differ from what the stack puts there in
// operation (CCSR with bits 1 and 10 set; exchange blocks neither at their operational nor at
// their transfer control word), so tests can see what the stack changed.
inline constexpr std::uint32_t CCSR_POWER_UP = 0x00010403;
inline constexpr std::uint32_t XB_CONTROL_POWER_UP = 0x1;

void apply_power_up_values(std::span<std::uint32_t> registers);

}  // namespace zel_sim
