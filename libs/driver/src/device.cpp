#include "zel_driver/device.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "log_target.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/system_backend.hpp"
#include "zel_log/log.hpp"

namespace zel_driver {

Result<Device> Device::open(std::string_view path) { return open(path, system_backend()); }

Result<Device> Device::open(std::string_view path, Backend& backend) {
  zel_log::emit(zel_log::Level::Info, LOG_TARGET, "opening ZEL device", {{"path", path}});
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(DriverError::invalid("NUL in path"));
  }
  const std::string terminated(path);
  zel_base::UniqueFd fd(backend.open(terminated.c_str(), DEVICE_OPEN_FLAGS), backend);
  if (!fd) return std::unexpected(io_error("open ZEL device"));

  void* config = backend.map(fd.get(), CONFIG_BAR_SIZE);
  // The error is taken before the descriptor is closed, which may change errno.
  if (config == MAP_FAILED) return std::unexpected(io_error("map configuration BAR"));
  // From here on the handle owns both and releases them on every failure.
  Device device(backend, static_cast<volatile std::uint32_t*>(config), std::move(fd));
  ZEL_TRY(device.ioctl_value(IOCTL_ATTACH, 0, "attach ZEL"));
  ZEL_TRY(device.ioctl_value(IOCTL_SET_ID, 0, "set ZEL ID"));
  zel_log::emit(zel_log::Level::Info, LOG_TARGET, "ZEL device attached", {{"path", path}});
  return device;
}

Device::Device(Device&& other) noexcept
    : backend_(other.backend_),
      config_(std::exchange(other.config_, nullptr)),
      fd_(std::move(other.fd_)) {}

Device& Device::operator=(Device&& other) noexcept {
  if (this != &other) {
    release();
    backend_ = other.backend_;
    config_ = std::exchange(other.config_, nullptr);
    fd_ = std::move(other.fd_);
  }
  return *this;
}

Device::~Device() { release(); }

void Device::release() noexcept {
  if (config_ == nullptr) return;
  // Release never fails: the results are of no use to anyone at this point.
  static_cast<void>(backend_->unmap(const_cast<std::uint32_t*>(config_), CONFIG_BAR_SIZE));
  fd_.reset();
  config_ = nullptr;
}

Status Device::ioctl_value(unsigned long request, std::uint64_t value,
                           const char* operation) const {
  if (backend_->ioctl(fd_.get(), request, value) != 0) return std::unexpected(io_error(operation));
  return {};
}

Status Device::ioctl_pointer(unsigned long request, const void* value,
                             const char* operation) const {
  return ioctl_value(request, reinterpret_cast<std::uintptr_t>(value), operation);
}

Status Device::check_offset(std::uint32_t offset) {
  if (offset % 4 != 0 || offset > CONFIG_OFFSET_LAST) {
    return std::unexpected(
        DriverError::invalid(fmt::format("configuration offset 0x{:x}", offset)));
  }
  return {};
}

Result<std::uint32_t> Device::read_config(std::uint32_t offset) const {
  ZEL_TRY(check_offset(offset));
  return backend_->load(config_ + offset / 4);
}

Status Device::write_config(std::uint32_t offset, std::uint32_t value) const {
  ZEL_TRY(check_offset(offset));
  backend_->store(config_ + offset / 4, value);
  return {};
}

}  // namespace zel_driver
