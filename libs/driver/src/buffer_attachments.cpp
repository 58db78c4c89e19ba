#include "zel_driver/buffer_attachments.hpp"
#include "zel_base/try.hpp"

#include <cstdint>
#include <limits>
#include <utility>

namespace zel_driver {

Status Device::attach_buffer(std::uint32_t index, const std::byte* address,
                             std::size_t size) const {
  // The record carries the size in 32 bits; a larger buffer would be attached truncated.
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(DriverError::invalid("host buffer too large"));
  }
  if (size == 0) return std::unexpected(DriverError::invalid("empty host buffer"));
  const AttachBufferData record{.index = index,
                                .size = static_cast<std::uint32_t>(size),
                                .address = reinterpret_cast<std::uintptr_t>(address)};
  return ioctl_pointer(IOCTL_ATTACH_BUFFER, &record, "attach host buffer");
}

void Device::detach_buffer(std::uint32_t index) const {
  // Detaching is an undo step: there is nothing useful to do when it fails.
  static_cast<void>(backend_->ioctl(fd_.get(), IOCTL_DETACH_BUFFER, index));
}

BufferAttachments::BufferAttachments(BufferAttachments&& other) noexcept
    : device_(other.device_), indices_(std::exchange(other.indices_, {})) {}

BufferAttachments& BufferAttachments::operator=(BufferAttachments&& other) noexcept {
  if (this != &other) {
    release();
    device_ = other.device_;
    indices_ = std::exchange(other.indices_, {});
  }
  return *this;
}

BufferAttachments::~BufferAttachments() { release(); }

Status BufferAttachments::attach(std::uint32_t index, const std::byte* address, std::size_t size) {
  // Room for the index first: an attachment the record could not hold would never be undone.
  indices_.reserve(indices_.size() + 1);
  ZEL_TRY(device_->attach_buffer(index, address, size));
  indices_.push_back(index);
  return {};
}

void BufferAttachments::release() noexcept {
  while (!indices_.empty()) {
    device_->detach_buffer(indices_.back());
    indices_.pop_back();
  }
}

}  // namespace zel_driver
