#include "zel_base/stream_read.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include <fmt/format.h>

namespace zel_base {

[[nodiscard]] std::expected<std::size_t, OsError> read_within(
    int fd, void* buffer, std::size_t size, std::chrono::milliseconds stall_limit) {
  const int timeout =
      static_cast<int>(std::min<std::chrono::milliseconds::rep>(stall_limit.count(), INT_MAX));
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return std::unexpected(OsError::last());
    // A stream without data yet (a descriptor that does not block): waited for only as long
    // as it may stall. One that blocks waits in read(2) itself.
    pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
    const int polled = ::poll(&ready, 1, timeout);
    if (polled < 0 && errno != EINTR) return std::unexpected(OsError::last());
    if (polled == 0) return std::unexpected(OsError(ETIMEDOUT));
  }
}

std::string stalled_stream_text(std::chrono::milliseconds stall_limit) {
  const auto count = stall_limit.count();
  return count % 1000 == 0 ? fmt::format("the stream gave no data for {}s", count / 1000)
                           : fmt::format("the stream gave no data for {}ms", count);
}

}  // namespace zel_base
