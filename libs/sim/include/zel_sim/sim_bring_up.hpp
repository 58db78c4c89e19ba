#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zel_driver/kernel_interface.hpp"
#include "zel_sim/faults.hpp"

namespace zel_sim {

// A bring-up request the simulated kernel served.
struct BringUpRequest {
  unsigned long request;
  // The integer argument; for the secondary-ID request the ID read through the pointer; for
  // the mailbox word 0 of the message sent.
  std::uint64_t value;
  bool operator==(const BringUpRequest&) const = default;
};

// The kernel's bring-up requests: monitoring stopped and started, errors accumulated, the
// reset notified, the secondary ID set, and the ICU mailbox. The ICU answers its reset request
// by echoing word 0 (upper half 0x4078), and leaves the device's registers and tile memory
// alone: it resets the management controller, not the tiles.
class SimBringUp {
 public:
  SimBringUp(const Faults& faults, std::vector<std::string>& refusals)
      : faults_(faults), refusals_(refusals) {}

  static bool serves(unsigned long request);
  // As the kernel's handler: 0, or -1 with errno set.
  int serve(unsigned long request, unsigned long argument);

  // Every request served, in order.
  const std::vector<BringUpRequest>& requests() const { return requests_; }
  // The messages the ICU received, in order.
  const std::vector<zel_driver::MailboxMessage>& mailbox_messages() const { return messages_; }
  bool monitoring() const { return monitoring_; }

 private:
  int secondary_id(unsigned long argument);
  int mailbox(unsigned long argument);
  zel_driver::MailboxMessage answer(const zel_driver::MailboxMessage& message);

  const Faults& faults_;
  std::vector<std::string>& refusals_;
  std::vector<BringUpRequest> requests_;
  std::vector<zel_driver::MailboxMessage> messages_;
  bool monitoring_ = true;
};

}  // namespace zel_sim
