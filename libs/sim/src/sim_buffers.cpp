#include "zel_sim/sim_buffers.hpp"
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kernel_failure.hpp"
#include "zel_driver/kernel_interface.hpp"

namespace zel_sim {

using zel_driver::AttachBufferData;
using zel_driver::IOCTL_ATTACH_BUFFER;
using zel_driver::IOCTL_DETACH_BUFFER;

bool SimBuffers::serves(unsigned long request) {
  return request == IOCTL_ATTACH_BUFFER || request == IOCTL_DETACH_BUFFER;
}

int SimBuffers::serve(unsigned long request, unsigned long argument) {
  if (request == IOCTL_ATTACH_BUFFER) return attach(argument);
  // The index travels as the argument itself; anything wider cannot name an attachment.
  if (argument > UINT32_MAX) return kernel_failure(EINVAL);
  return detach(static_cast<std::uint32_t>(argument));
}

int SimBuffers::attach(unsigned long argument) {
  if (argument == 0) return kernel_failure(EFAULT);
  AttachBufferData record;
  std::memcpy(&record, reinterpret_cast<const void*>(argument), sizeof record);
  if (record.address == 0) return kernel_failure(EFAULT);
  if (record.size == 0) return kernel_failure(EINVAL);
  const auto same_index = [&](const Attachment& a) { return a.index == record.index; };
  if (std::any_of(attachments_.begin(), attachments_.end(), same_index))
    return kernel_failure(EBUSY);
  attachments_.push_back({record.index, record.address, record.size});
  return 0;
}

int SimBuffers::detach(std::uint32_t index) {
  const auto erased =
      std::erase_if(attachments_, [&](const Attachment& a) { return a.index == index; });
  return erased == 1 ? 0 : kernel_failure(EINVAL);
}

std::optional<std::span<const std::byte>> SimBuffers::memory(std::uint32_t index) const {
  for (const Attachment& a : attachments_) {
    if (a.index == index) return std::span(reinterpret_cast<const std::byte*>(a.address), a.size);
  }
  return std::nullopt;
}

}  // namespace zel_sim
