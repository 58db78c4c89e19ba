#include "zel_driver/host_buffer.hpp"

#include <sys/mman.h>

#include <utility>

namespace zel_driver {

Result<HostBuffer> HostBuffer::create(Backend& backend, std::size_t size) {
  // Populated up front so the device never reads a page the host has not faulted in yet.
  // The kernel hands out anonymous pages zero-filled, so the buffer starts all zero without
  // another 42 MB pass over the transport.
  void* memory = backend.map_anonymous(size);
  if (memory == MAP_FAILED) return std::unexpected(io_error("allocate pinned host buffer"));
  return HostBuffer(backend, static_cast<std::byte*>(memory), size);
}

HostBuffer::HostBuffer(HostBuffer&& other) noexcept
    : backend_(other.backend_),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

HostBuffer& HostBuffer::operator=(HostBuffer&& other) noexcept {
  if (this != &other) {
    release();
    backend_ = other.backend_;
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

HostBuffer::~HostBuffer() { release(); }

void HostBuffer::release() noexcept {
  if (data_ == nullptr) return;
  static_cast<void>(backend_->unmap(data_, size_));  // of no use to anyone at release
  data_ = nullptr;
  size_ = 0;
}

}  // namespace zel_driver
