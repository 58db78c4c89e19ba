#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>

#include "zel_base/os_error.hpp"

namespace zel_base {

// How long a read waits for a stream (a pipe, a terminal, a device) that gives no data before
// it gives up. A run blocks its signals, so a wait without end could only be ended by kill.
inline constexpr std::chrono::milliseconds STREAM_STALL_LIMIT{10'000};

// Reads up to `size` bytes from the non-blocking descriptor `fd` as read(2) does, but waits at
// most `stall_limit` for data when none is there yet: the count read (0 at the end of the
// file), or the error, ETIMEDOUT for a stream that stayed silent. (A blocking descriptor
// waits in read(2) as long as it takes.)
[[nodiscard]] std::expected<std::size_t, OsError> read_within(
    int fd, void* buffer, std::size_t size, std::chrono::milliseconds stall_limit);

// "the stream gave no data for 10s": what a stalled read is called in error texts.
std::string stalled_stream_text(std::chrono::milliseconds stall_limit);

}  // namespace zel_base
