#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "zel_sim/refusals.hpp"

namespace zel_sim {

// A host buffer the simulated kernel holds attached for the device.
struct Attachment {
  std::uint32_t index;
  std::uint64_t address;
  std::uint32_t size;
  bool operator==(const Attachment&) const = default;
};

// The kernel's host-buffer attachments, by index, and the device's view of them: it reads an
// attached buffer through the address given at attach time, as it would by DMA. A record
// without an address or a size, an index attached twice, and a detach of an index not
// attached are refused.
class SimBuffers {
 public:
  explicit SimBuffers(Refusals& refusals) : refusals_(refusals) {}

  static bool serves(unsigned long request);
  // As the kernel's handler: 0, or -1 with errno set.
  int serve(unsigned long request, unsigned long argument);

  // What is attached now, in order of attachment.
  const std::vector<Attachment>& attachments() const { return attachments_; }
  // The memory attached under `index`, as the device reads it; none if nothing is.
  std::optional<std::span<const std::byte>> memory(std::uint32_t index) const;

 private:
  int attach(unsigned long argument);
  int detach(unsigned long index);

  Refusals& refusals_;
  std::vector<Attachment> attachments_;
};

}  // namespace zel_sim
