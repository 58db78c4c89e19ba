#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zel_driver/device.hpp"

namespace zel_driver {

// The host buffers attached to a device through this record. Letting it go detaches each of
// them, newest first, exactly once; a moved-from record detaches nothing. It refers to the
// device without owning it and must not outlive it.
class BufferAttachments {
 public:
  explicit BufferAttachments(const Device& device) : device_(&device) {}

  BufferAttachments(BufferAttachments&& other) noexcept;
  BufferAttachments& operator=(BufferAttachments&& other) noexcept;
  BufferAttachments(const BufferAttachments&) = delete;
  BufferAttachments& operator=(const BufferAttachments&) = delete;
  ~BufferAttachments();

  // Device::attach_buffer; the index is recorded only when the attachment succeeded.
  [[nodiscard]] Status attach(std::uint32_t index, const std::byte* address, std::size_t size);

  // In order of attachment.
  const std::vector<std::uint32_t>& indices() const { return indices_; }

 private:
  void release() noexcept;

  const Device* device_;
  std::vector<std::uint32_t> indices_;
};

}  // namespace zel_driver
