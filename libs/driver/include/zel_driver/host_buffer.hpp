#pragma once

#include <cstddef>
#include <span>

#include "zel_driver/device.hpp"

namespace zel_driver {

// Host memory lent to the device: a private anonymous mapping made through the backend (so a
// simulated kernel sees and accounts it), every page populated when it is made and zero to
// begin with. Sole owner of its memory, which it unmaps exactly once; it must outlive every
// attachment of that memory, and the backend must outlive it. A moved-from buffer owns nothing.
class HostBuffer {
 public:
  // Io "allocate pinned host buffer" when the system refuses the mapping (a size of 0, too).
  [[nodiscard]] static Result<HostBuffer> create(Backend& backend, std::size_t size);

  HostBuffer(HostBuffer&& other) noexcept;
  HostBuffer& operator=(HostBuffer&& other) noexcept;
  HostBuffer(const HostBuffer&) = delete;
  HostBuffer& operator=(const HostBuffer&) = delete;
  ~HostBuffer();

  std::span<std::byte> bytes_mut() { return {data_, size_}; }
  const std::byte* data() const { return data_; }
  // Exactly as requested, not rounded to pages.
  std::size_t size() const { return size_; }

 private:
  HostBuffer(Backend& backend, std::byte* data, std::size_t size)
      : backend_(&backend), data_(data), size_(size) {}
  void release() noexcept;

  Backend* backend_;
  std::byte* data_;  // nullptr once moved from
  std::size_t size_;
};

}  // namespace zel_driver
