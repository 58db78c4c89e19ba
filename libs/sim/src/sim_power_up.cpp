#include "zel_sim/sim_power_up.hpp"

#include "zel_sim/protocol/registers.hpp"

namespace zel_sim {

void apply_power_up_values(std::span<std::uint32_t> registers) {
  registers[reg::CCSR / 4] = CCSR_POWER_UP;
  for (std::size_t instance = 0; instance < xb::INSTANCES; ++instance) {
    registers[xb::control_register(instance) / 4] = XB_CONTROL_POWER_UP;
  }
}

}  // namespace zel_sim
