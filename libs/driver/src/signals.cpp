#include "zel_driver/signals.hpp"

#include <pthread.h>
#include <signal.h>

namespace zel_driver {

[[nodiscard]] std::expected<void, DriverError> block_device_interrupt_signals() {
  sigset_t set;
  if (sigfillset(&set) != 0) return std::unexpected(io_error("block device interrupt signals"));
  if (int error = pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
    // pthread_sigmask returns its error instead of setting errno.
    return std::unexpected(DriverError::Io{"block device interrupt signals", OsError(error)});
  }
  return {};
}

}  // namespace zel_driver
