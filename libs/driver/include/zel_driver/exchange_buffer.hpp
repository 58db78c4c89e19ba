#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"

namespace zel_driver {

// The device's sixteen exchange blocks, each with a control register.
namespace xb {

inline constexpr std::size_t INSTANCES = 16;
inline constexpr std::size_t PRIMARY_INSTANCES = 8;
// The request ID every block is given while a transfer holds them.
inline constexpr std::uint32_t TRANSFER_REQUEST_ID = 0x3f;

// The control register of exchange block `instance` (0 to 15).
constexpr std::uint32_t address(std::size_t instance) {
  const std::uint32_t base =
      instance < PRIMARY_INSTANCES
          ? XB_CONTROL_PRIMARY_BASE
          : XB_CONTROL_SECONDARY_BASE - PRIMARY_INSTANCES * XB_CONTROL_STRIDE;
  return base + static_cast<std::uint32_t>(instance) * XB_CONTROL_STRIDE;
}

// A control word: bit 1 set and the low six bits of `request_id` in each of the four 6-bit
// fields at bits 3, 9, 15 and 21.
constexpr std::uint32_t control(std::uint32_t request_id) {
  const std::uint32_t r = request_id & 0x3f;
  return 2 | r << 3 | r << 9 | r << 15 | r << 21;
}

}  // namespace xb

// CCSR bits 1 and 10, held clear while the exchange blocks are in their transfer state.
inline constexpr std::uint32_t CCSR_EXCHANGE_BITS = 0x402;

// Holds the exchange blocks in their transfer state: made, it has given every block the
// transfer control word and cleared CCSR bits 1 and 10; restore_primary gives blocks 0 to 7
// their operational words back, restore_all every block and CCSR. Letting it go runs
// restore_all once more, ignoring the outcome. The operational words are fixed (request ID
// 0 for blocks 0 to 7, 1 for 8 to 15), whatever the blocks held before. It refers to the
// device without owning it and must not outlive it; a moved-from guard restores nothing.
class ExchangeBufferGuard {
 public:
  // The first failing access ends it; what was written stays written, since no guard exists
  // yet to restore it.
  [[nodiscard]] static Result<ExchangeBufferGuard> create(const Device& device);

  ExchangeBufferGuard(ExchangeBufferGuard&& other) noexcept;
  ExchangeBufferGuard& operator=(ExchangeBufferGuard&& other) noexcept;
  ExchangeBufferGuard(const ExchangeBufferGuard&) = delete;
  ExchangeBufferGuard& operator=(const ExchangeBufferGuard&) = delete;
  ~ExchangeBufferGuard();

  [[nodiscard]] Status restore_primary() const;
  [[nodiscard]] Status restore_all() const;

 private:
  ExchangeBufferGuard(const Device& device, std::uint32_t saved_ccsr);
  [[nodiscard]] Status restore_blocks(std::size_t count) const;
  void release() noexcept;

  const Device* device_;  // nullptr once moved from
  std::array<std::uint32_t, xb::INSTANCES> operational_;
  std::uint32_t saved_ccsr_;
};

}  // namespace zel_driver
