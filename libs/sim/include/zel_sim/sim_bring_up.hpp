#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zel_sim/fault_firings.hpp"
#include "zel_sim/faults.hpp"
#include "zel_sim/protocol/icu.hpp"
#include "zel_sim/refusals.hpp"

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
// reset notified, the secondary ID set, and the ICU mailbox. They come as one sequence: stop
// monitoring (which may always begin it again), the ICU reset, start monitoring, accumulate
// errors, notify the reset, secondary ID 0. A request out of that order is refused but
// served, as the kernel has no reason to fail it; a malformed one is refused and failed.
// The ICU answers its reset request by echoing it and leaves the device's registers and tile
// memory alone: it resets the management controller, not the tiles.
class SimBringUp {
 public:
  SimBringUp(const Faults& faults, FaultFirings& firings, Refusals& refusals)
      : faults_(faults), firings_(firings), refusals_(refusals) {}

  static bool serves(unsigned long request);
  // As the kernel's handler: 0, or -1 with errno set.
  int serve(unsigned long request, unsigned long argument);

  // Every request served, in order.
  const std::vector<BringUpRequest>& requests() const { return requests_; }
  // The messages the ICU received, in order.
  const std::vector<icu::Message>& mailbox_messages() const { return messages_; }
  bool monitoring() const { return monitoring_; }

 private:
  void check_order(unsigned long request);
  int secondary_id(unsigned long argument);
  int mailbox(unsigned long argument);
  icu::Message answer(const icu::Message& message);

  const Faults& faults_;
  FaultFirings& firings_;
  Refusals& refusals_;
  std::vector<BringUpRequest> requests_;
  std::vector<icu::Message> messages_;
  bool monitoring_ = true;
  // The request the sequence expects next; none between sequences.
  std::optional<unsigned long> next_;
};

}  // namespace zel_sim
