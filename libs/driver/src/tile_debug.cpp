#include "zel_driver/tile_debug.hpp"

#include <fmt/format.h>

#include "zel_base/try.hpp"
#include "zel_driver/deadline.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"

namespace zel_driver {

namespace {

// The configuration offset of debug register `reg` of a tile. An index so large that the
// offset leaves 32 bits would wrap around onto some unrelated register, so it is refused.
[[nodiscard]] Result<std::uint32_t> tile_debug_offset(std::uint16_t physical_tile,
                                                      std::uint32_t reg) {
  std::uint32_t register_offset = 0;
  std::uint32_t offset = 0;
  if (__builtin_mul_overflow(reg, 4u, &register_offset) ||
      __builtin_add_overflow(TILE_DEBUG_BASE + physical_tile * TILE_DEBUG_STRIDE, register_offset,
                             &offset)) {
    return std::unexpected(DriverError::invalid("tile debug register index out of range"));
  }
  return offset;
}

}  // namespace

Result<std::uint32_t> Device::read_tile_debug(std::uint16_t physical_tile,
                                              std::uint32_t reg) const {
  ZEL_TRY_ASSIGN(auto offset, tile_debug_offset(physical_tile, reg));
  return read_config(offset);
}

Status Device::write_tile_debug(std::uint16_t physical_tile, std::uint32_t reg,
                                std::uint32_t value) const {
  ZEL_TRY_ASSIGN(auto offset, tile_debug_offset(physical_tile, reg));
  return write_config(offset, value);
}

Result<std::uint32_t> Device::tile_context_state(std::uint16_t physical_tile,
                                                 std::uint32_t context) const {
  if (context >= TILE_CONTEXT_COUNT) {
    return std::unexpected(DriverError::invalid("tile context out of range"));
  }
  auto status = read_tile_debug(physical_tile, TILE_CONTEXT_STATUS);
  if (!status) return status;
  return *status >> (2 * context) & TILE_CONTEXT_STATE_MASK;
}

Status Device::execute_tile_instruction(std::uint16_t physical_tile, std::uint32_t context,
                                        std::uint32_t instruction) const {
  // The instruction word goes last: writing it starts the instruction.
  ZEL_TRY(write_tile_debug(physical_tile, TILE_DEBUG_CONTROL, TILE_DEBUG_CONTROL_EXECUTE));
  ZEL_TRY(write_tile_debug(physical_tile, TILE_DEBUG_CONTEXT, context));
  ZEL_TRY(write_tile_debug(physical_tile, TILE_DEBUG_INSTRUCTION, instruction));
  // The status is judged only once the busy bit reads clear.
  return poll_until(
      backend(), TDI_INSTRUCTION_TIMEOUT, std::chrono::nanoseconds::zero(),
      [&]() -> Result<bool> {
        ZEL_TRY_ASSIGN(const std::uint32_t status,
                       read_tile_debug(physical_tile, TILE_DEBUG_STATUS));
        if ((status & TDI_STATUS_BUSY) != 0) return false;
        if ((status & TDI_STATUS_FAILURE) != 0) {
          return std::unexpected(DriverError::invalid(
              fmt::format("TDI instruction failed with status 0x{:x}", status)));
        }
        return true;
      },
      [] { return DriverError::timeout("TDI instruction"); });
}

}  // namespace zel_driver
