#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <type_traits>
#include <utility>

#include "zel_base/try.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/tile_debug.hpp"

// Tile-memory access through a borrowed tile context: the context is stopped if it runs, its
// scratch M registers are saved, TDI instructions do the access, and everything disturbed is
// put back on every path. The word-level operations are members of Device (tile_context.cpp);
// the two generic wrappers are defined here.
namespace zel_driver {

// The word addresses of tile memory reachable through debug access: 0x4c000..0xe8000, end
// excluded. Kept here rather than taken from the target: this is what the debug path accepts.
inline constexpr std::uint32_t TILE_MEMORY_WORD_FIRST = 0x4c000;
inline constexpr std::uint32_t TILE_MEMORY_WORD_LAST = 0xe7ffc;

// How long a running context may take to stop; its state is re-read without sleeping.
inline constexpr std::chrono::milliseconds CONTEXT_STOP_TIMEOUT{100};

// M registers 0 and 1 carry data and address of every access; they are saved and restored.
inline constexpr std::uint32_t TDI_SCRATCH_REGISTERS = 2;
using TileScratch = std::array<std::uint32_t, TDI_SCRATCH_REGISTERS>;

// A multiple of 4 inside the window.
constexpr bool is_tile_memory_word(std::uint32_t address) {
  return address % 4 == 0 && address >= TILE_MEMORY_WORD_FIRST && address <= TILE_MEMORY_WORD_LAST;
}

namespace detail {

// Sets the context's run-break bit on top of `old_run_break` and waits for the context to
// reach a stopped state.
[[nodiscard]] Status stop_tile_context(const Device& device, std::uint16_t physical_tile,
                                       std::uint32_t context, std::uint32_t old_run_break);
// Puts `old_run_break` back and, when the context had not been asked to stop before, lets it
// run again.
[[nodiscard]] Status release_tile_context(const Device& device, std::uint16_t physical_tile,
                                          std::uint32_t context, std::uint32_t old_run_break);
// M registers 0 and 1 of the context, in that order.
[[nodiscard]] Result<TileScratch> save_tile_scratch(const Device& device,
                                                    std::uint16_t physical_tile,
                                                    std::uint32_t context);
// Writes them back, 1 first; stops at the first failure.
[[nodiscard]] Status restore_tile_scratch(const Device& device, std::uint16_t physical_tile,
                                          std::uint32_t context, const TileScratch& saved);

template <class R>
inline constexpr bool is_driver_result = false;
template <class T>
inline constexpr bool is_driver_result<std::expected<T, DriverError>> = true;

}  // namespace detail

template <class Operation>
std::invoke_result_t<Operation&> Device::with_tile_context(std::uint16_t physical_tile,
                                                           std::uint32_t context,
                                                           bool inactive_is_quiescent,
                                                           Operation&& operation) const {
  using R = std::invoke_result_t<Operation&>;
  static_assert(detail::is_driver_result<R>, "the operation returns Result<T>");

  ZEL_TRY_ASSIGN(const std::uint32_t initial_state, tile_context_state(physical_tile, context));
  ZEL_TRY_ASSIGN(const std::uint32_t old_run_break, read_tile_debug(physical_tile, TILE_RUN_BREAK));
  const bool already_stopped = initial_state >= TILE_CONTEXT_STOPPED ||
                               (inactive_is_quiescent && initial_state == TILE_CONTEXT_INACTIVE);
  if (already_stopped) return std::invoke(operation);

  R result = [&]() -> R {
    try {
      ZEL_TRY(detail::stop_tile_context(*this, physical_tile, context, old_run_break));
      return std::invoke(operation);
    } catch (...) {
      // Memory that runs out inside the borrow (an error text, say) still gives the context
      // back before the caller turns it into an error.
      (void)detail::release_tile_context(*this, physical_tile, context, old_run_break);
      throw;
    }
  }();
  // A failed restore of the run state outweighs the operation's outcome: the caller must
  // learn that the context may have been left stopped.
  ZEL_TRY(detail::release_tile_context(*this, physical_tile, context, old_run_break));
  return result;
}

template <class Operation>
std::invoke_result_t<Operation&> Device::with_tile_scratch(std::uint16_t physical_tile,
                                                           std::uint32_t context,
                                                           bool inactive_is_quiescent,
                                                           Operation&& operation) const {
  using R = std::invoke_result_t<Operation&>;
  static_assert(detail::is_driver_result<R>, "the operation returns Result<T>");

  return with_tile_context(physical_tile, context, inactive_is_quiescent, [&]() -> R {
    ZEL_TRY_ASSIGN(const TileScratch saved,
                   detail::save_tile_scratch(*this, physical_tile, context));
    R result = [&]() -> R {
      try {
        return std::invoke(operation);
      } catch (...) {
        (void)detail::restore_tile_scratch(*this, physical_tile, context, saved);
        throw;
      }
    }();
    Status restored = detail::restore_tile_scratch(*this, physical_tile, context, saved);
    // The operation's own error says more than a restore failure that may follow from it.
    if (!result) return result;
    ZEL_TRY(restored);
    return result;
  });
}

}  // namespace zel_driver
