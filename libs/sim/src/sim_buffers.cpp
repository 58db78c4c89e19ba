#include "zel_sim/sim_buffers.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "kernel_failure.hpp"
#include "user_memory.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"

namespace zel_sim {

bool SimBuffers::serves(unsigned long request) {
  return request == kernel::ATTACH_BUFFER || request == kernel::DETACH_BUFFER;
}

int SimBuffers::serve(unsigned long request, unsigned long argument) {
  return request == kernel::ATTACH_BUFFER ? attach(argument) : detach(argument);
}

int SimBuffers::attach(unsigned long argument) {
  const auto record = copy_in<kernel::ATTACH_RECORD_BYTES>(argument);
  if (!record) return kernel_refusal(refusals_, "attach-buffer without a record", EFAULT);
  const Attachment attachment{.index = field_u32(*record, kernel::ATTACH_RECORD_INDEX),
                              .address = field_u64(*record, kernel::ATTACH_RECORD_ADDRESS),
                              .size = field_u32(*record, kernel::ATTACH_RECORD_SIZE)};
  if (attachment.address == 0) {
    return kernel_refusal(refusals_, "attach-buffer record with address 0", EFAULT);
  }
  if (attachment.size == 0) {
    return kernel_refusal(refusals_, "attach-buffer record with size 0", EINVAL);
  }
  if (memory(attachment.index)) {
    return kernel_refusal(
        refusals_, fmt::format("attach-buffer of index {}, already attached", attachment.index),
        EBUSY);
  }
  attachments_.push_back(attachment);
  return 0;
}

// The index travels as the argument itself.
int SimBuffers::detach(unsigned long index) {
  const auto erased =
      std::erase_if(attachments_, [&](const Attachment& a) { return a.index == index; });
  if (erased == 0) {
    return kernel_refusal(refusals_, fmt::format("detach-buffer of index {}, not attached", index),
                          EINVAL);
  }
  return 0;
}

std::optional<std::span<const std::byte>> SimBuffers::memory(std::uint32_t index) const {
  for (const Attachment& a : attachments_) {
    if (a.index == index) return std::span(reinterpret_cast<const std::byte*>(a.address), a.size);
  }
  return std::nullopt;
}

}  // namespace zel_sim
