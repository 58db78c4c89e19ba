#include "zel_sim/sim_exchange_blocks.hpp"

#include <fmt/format.h>

namespace zel_sim {

std::optional<std::size_t> SimExchangeBlocks::instance_at(std::uint32_t offset) {
  for (std::size_t instance = 0; instance < xb::INSTANCES; ++instance) {
    if (xb::control_register(instance) == offset) return instance;
  }
  return std::nullopt;
}

void SimExchangeBlocks::stored(std::size_t instance, std::uint32_t value) {
  if (value == xb::TRANSFER_CONTROL) held_[instance] = true;
}

std::uint32_t SimExchangeBlocks::control(std::size_t instance) const {
  return registers_[xb::control_register(instance) / 4];
}

std::optional<std::string> SimExchangeBlocks::transfer_fault() const {
  for (std::size_t instance = 0; instance < xb::INSTANCES; ++instance) {
    const bool primary = instance < xb::PRIMARY_INSTANCES;
    const std::uint32_t expected = primary ? xb::PRIMARY_CONTROL : xb::TRANSFER_CONTROL;
    if (control(instance) != expected) {
      return fmt::format("exchange block {} at 0x{:x}, expected 0x{:x}", instance,
                         control(instance), expected);
    }
    if (primary && !held_[instance]) {
      return fmt::format("exchange block {} never held for the transfer", instance);
    }
  }
  if (const std::uint32_t ccsr = registers_[reg::CCSR / 4]; (ccsr & reg::CCSR_EXCHANGE_BITS) != 0) {
    return fmt::format("CCSR 0x{:x} with bits 1 or 10 set", ccsr);
  }
  return std::nullopt;
}

}  // namespace zel_sim
