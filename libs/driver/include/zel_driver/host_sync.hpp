#pragma once

#include <chrono>
#include <cstdint>

namespace zel_driver {

// An HSP mark is 16 bits, written as the whole register with bits 31..16 zero; on every read
// only bits 15..0 count.
inline constexpr std::uint32_t HSP_MARK_LIMIT = 0xffff;
inline constexpr std::uint32_t HSP_MARK_MASK = 0xffff;
// How long wait_mark sleeps between reads.
inline constexpr std::chrono::microseconds HSP_POLL_INTERVAL{100};

// Whether `offset` is one of the two HSP synchronization control registers.
bool is_hsp_sync_register(std::uint32_t offset);

}  // namespace zel_driver
