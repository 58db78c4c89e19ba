#pragma once

#include <chrono>

// How long the host waits for each thing the device does. The device models finish well
// within them, so only an injected fault or a refusal makes the host time out: the modelled
// times of the autoloader and of the marks are checked against them where they are set; TDI
// instructions and context stops are modelled in status reads, not in time.
namespace zel_sim::host_timeouts {

inline constexpr std::chrono::milliseconds TDI_INSTRUCTION{100};
inline constexpr std::chrono::milliseconds CONTEXT_STOP{100};
inline constexpr std::chrono::seconds AUTOLOADER{2};
inline constexpr std::chrono::seconds MARK{10};
// The host sleeps this long between reads of a mark or the autoloader's busy bit.
inline constexpr std::chrono::microseconds POLL_INTERVAL{100};

}  // namespace zel_sim::host_timeouts
