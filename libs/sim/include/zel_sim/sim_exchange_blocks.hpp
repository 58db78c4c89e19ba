#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "zel_sim/protocol/registers.hpp"

namespace zel_sim {

// The exchange blocks and CCSR as a host transfer needs them. While the tile bootloader reads
// the transport, the primary blocks (0 to 7) must carry their operational word again after
// having been held with the transfer word since the transfer began, the others must still be
// held, and CCSR bits 1 and 10 must be clear. The registers themselves are plain storage of
// the configuration space; this model watches what the host writes to the blocks.
class SimExchangeBlocks {
 public:
  explicit SimExchangeBlocks(std::span<const std::uint32_t> registers) : registers_(registers) {}

  // The block whose control register is at `offset`, if any.
  static std::optional<std::size_t> instance_at(std::uint32_t offset);
  // The host wrote `value` to the control register of block `instance`.
  void stored(std::size_t instance, std::uint32_t value);
  // A transfer begins: the blocks must be held anew.
  void begin_transfer() { held_.fill(false); }

  // What keeps the bootloader from reading the transport, if anything.
  std::optional<std::string> transfer_fault() const;

 private:
  std::uint32_t control(std::size_t instance) const;

  std::span<const std::uint32_t> registers_;
  // By block: given the transfer word since the transfer began.
  std::array<bool, xb::INSTANCES> held_{};
};

}  // namespace zel_sim
