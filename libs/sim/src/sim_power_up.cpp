#include "zel_sim/sim_power_up.hpp"

#include "zel_driver/exchange_buffer.hpp"
#include "zel_driver/registers.hpp"

namespace zel_sim {

void apply_power_up_values(std::span<std::uint32_t> registers) {
  registers[zel_driver::CCSR / 4] = CCSR_POWER_UP;
  for (std::size_t instance = 0; instance < zel_driver::xb::INSTANCES; ++instance) {
    registers[zel_driver::xb::address(instance) / 4] = XB_CONTROL_POWER_UP;
  }
}

}  // namespace zel_sim
