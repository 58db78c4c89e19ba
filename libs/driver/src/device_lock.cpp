#include "zel_driver/device_lock.hpp"

#include <cerrno>
#include <string>

#include "zel_driver/kernel_interface.hpp"

namespace zel_driver {

std::expected<DeviceLock, DeviceLock::Failure> DeviceLock::take(std::string_view path,
                                                                zel_base::Backend& backend) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(DriverError::invalid("NUL in path"));
  }
  const std::string terminated(path);
  zel_base::UniqueFd fd(backend.open(terminated.c_str(), DEVICE_OPEN_FLAGS), backend);
  if (!fd) return std::unexpected(io_error("open ZEL device"));
  int holder = 0;
  if (backend.lock(fd.get(), holder) != 0) {
    if (errno == EWOULDBLOCK) return std::unexpected(Busy{holder});
    return std::unexpected(io_error("lock ZEL device"));
  }
  return DeviceLock(std::move(fd));
}

}  // namespace zel_driver
