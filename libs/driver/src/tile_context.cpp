#include "zel_driver/tile_context.hpp"

#include <fmt/format.h>

#include "zel_base/try.hpp"
#include "zel_driver/deadline.hpp"

namespace zel_driver {

using tdi_instruction::get_debug_data_m;
using tdi_instruction::put_debug_data_m;
using tdi_instruction::TDI_LOAD_WORD;
using tdi_instruction::TDI_STORE_WORD;

namespace {

std::uint32_t context_bit(std::uint32_t context) { return 1u << context; }

}  // namespace

namespace detail {

[[nodiscard]] Status stop_tile_context(const Device& device, std::uint16_t physical_tile,
                                       std::uint32_t context, std::uint32_t old_run_break) {
  ZEL_TRY(
      device.write_tile_debug(physical_tile, TILE_RUN_BREAK, old_run_break | context_bit(context)));
  // The state is read again at once: a context stops within microseconds.
  return poll_until(
      device.backend(), CONTEXT_STOP_TIMEOUT, std::chrono::nanoseconds::zero(),
      [&]() -> Result<bool> {
        ZEL_TRY_ASSIGN(const std::uint32_t state,
                       device.tile_context_state(physical_tile, context));
        return state >= TILE_CONTEXT_STOPPED;
      },
      [] { return DriverError::timeout("stopping tile context"); });
}

[[nodiscard]] Status release_tile_context(const Device& device, std::uint16_t physical_tile,
                                          std::uint32_t context, std::uint32_t old_run_break) {
  ZEL_TRY(device.write_tile_debug(physical_tile, TILE_RUN_BREAK, old_run_break));
  // A context someone else had asked to stop stays stopped.
  if ((old_run_break & context_bit(context)) != 0) return {};
  return device.write_tile_debug(physical_tile, TILE_CONTEXT_RESUME, context_bit(context));
}

[[nodiscard]] Result<TileScratch> save_tile_scratch(const Device& device,
                                                    std::uint16_t physical_tile,
                                                    std::uint32_t context) {
  TileScratch saved{};
  for (std::uint32_t reg = 0; reg < TDI_SCRATCH_REGISTERS; ++reg) {
    ZEL_TRY_ASSIGN(auto value, device.read_tile_m_register_in_context(physical_tile, context, reg));
    saved[reg] = value;
  }
  return saved;
}

[[nodiscard]] Status restore_tile_scratch(const Device& device, std::uint16_t physical_tile,
                                          std::uint32_t context, const TileScratch& saved) {
  for (std::uint32_t reg = TDI_SCRATCH_REGISTERS; reg-- > 0;) {
    ZEL_TRY(device.write_tile_debug(physical_tile, TILE_DEBUG_DATA, saved[reg]));
    ZEL_TRY(device.execute_tile_instruction(physical_tile, context, get_debug_data_m(reg)));
  }
  return {};
}

}  // namespace detail

Result<std::uint32_t> Device::read_tile_m_register_in_context(std::uint16_t physical_tile,
                                                              std::uint32_t context,
                                                              std::uint32_t reg) const {
  const auto instruction = put_debug_data_m(reg);
  if (!instruction) return std::unexpected(DriverError::invalid("M register index out of range"));
  ZEL_TRY(execute_tile_instruction(physical_tile, context, *instruction));
  return read_tile_debug(physical_tile, TILE_DEBUG_DATA);
}

Result<std::uint32_t> Device::read_tile_word_without_save(std::uint16_t physical_tile,
                                                          std::uint32_t context,
                                                          std::uint32_t address) const {
  ZEL_TRY(write_tile_debug(physical_tile, TILE_DEBUG_DATA, address));
  // M1 = address; M0 = word at M1; data = M0.
  for (const std::uint32_t instruction :
       {get_debug_data_m(1), TDI_LOAD_WORD, *put_debug_data_m(0)}) {
    ZEL_TRY(execute_tile_instruction(physical_tile, context, instruction));
  }
  return read_tile_debug(physical_tile, TILE_DEBUG_DATA);
}

Status Device::write_tile_word(std::uint16_t physical_tile, std::uint32_t context,
                               std::uint32_t address, std::uint32_t value,
                               bool inactive_is_quiescent) const {
  if (!is_tile_memory_word(address)) {
    return std::unexpected(DriverError::invalid("tile memory write address is invalid"));
  }
  return with_tile_scratch(physical_tile, context, inactive_is_quiescent, [&]() -> Status {
    // M1 = address, M0 = value, then the word at M1 = M0.
    const std::pair<std::uint32_t, std::uint32_t> loads[] = {{address, get_debug_data_m(1)},
                                                             {value, get_debug_data_m(0)}};
    for (const auto& [data, instruction] : loads) {
      ZEL_TRY(write_tile_debug(physical_tile, TILE_DEBUG_DATA, data));
      ZEL_TRY(execute_tile_instruction(physical_tile, context, instruction));
    }
    return execute_tile_instruction(physical_tile, context, TDI_STORE_WORD);
  });
}

Status Device::write_tile_word_from_inactive_context(std::uint16_t physical_tile,
                                                     std::uint32_t context, std::uint32_t address,
                                                     std::uint32_t value) const {
  if (context == 0 || context >= TILE_CONTEXT_COUNT) {
    return std::unexpected(DriverError::invalid("inactive write requires a worker context"));
  }
  return write_tile_word(physical_tile, context, address, value, true);
}

Result<std::vector<std::uint32_t>> Device::read_tile_words_at_addresses_from_inactive_context(
    std::uint16_t physical_tile, std::uint32_t context,
    std::span<const std::uint32_t> addresses) const {
  // Context 7 and above pass here on purpose: the context state read refuses them.
  if (context == 0) {
    return std::unexpected(
        DriverError::invalid("inactive SRAM diagnostic requires a worker context"));
  }
  for (const std::uint32_t address : addresses) {
    if (!is_tile_memory_word(address)) {
      return std::unexpected(
          DriverError::invalid("invalid tile memory address in diagnostic read"));
    }
  }
  using Words = Result<std::vector<std::uint32_t>>;
  return with_allocation_failure_as_error("read tile words", [&]() -> Words {
    // Allocated before the context is touched, so a long read cannot run short inside it.
    std::vector<std::uint32_t> words;
    words.reserve(addresses.size());
    return with_tile_scratch(physical_tile, context, true, [&]() -> Words {
      for (const std::uint32_t address : addresses) {
        ZEL_TRY_ASSIGN(auto word, read_tile_word_without_save(physical_tile, context, address));
        words.push_back(word);
      }
      return std::move(words);
    });
  });
}

Result<std::vector<std::uint32_t>> Device::read_tile_words_from_inactive_context(
    std::uint16_t physical_tile, std::uint32_t context, std::uint32_t address,
    std::uint32_t words) const {
  if (context == 0) {
    return std::unexpected(
        DriverError::invalid("inactive SRAM diagnostic requires a worker context"));
  }
  std::uint32_t bytes = 0;
  if (__builtin_mul_overflow(words, 4u, &bytes)) {
    return std::unexpected(DriverError::invalid("tile diagnostic size overflow"));
  }
  std::uint32_t end = 0;
  if (__builtin_add_overflow(address, bytes, &end)) {
    return std::unexpected(DriverError::invalid("tile diagnostic range overflow"));
  }
  if (address % 4 != 0 || address < TILE_MEMORY_WORD_FIRST || end > TILE_MEMORY_WORD_LAST + 4) {
    return std::unexpected(DriverError::invalid(
        fmt::format("invalid tile memory range 0x{:x}..0x{:x}", address, end)));
  }
  return with_allocation_failure_as_error("read tile words", [&] {
    std::vector<std::uint32_t> addresses(words);
    for (std::uint32_t i = 0; i < words; ++i) addresses[i] = address + 4 * i;
    return read_tile_words_at_addresses_from_inactive_context(physical_tile, context, addresses);
  });
}

}  // namespace zel_driver
