#include "zel_sim/sim_bring_up.hpp"
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "kernel_failure.hpp"
#include "zel_driver/mailbox.hpp"

namespace zel_sim {

using namespace zel_driver;

bool SimBringUp::serves(unsigned long request) {
  switch (request) {
    case IOCTL_STOP_MONITORING:
    case IOCTL_START_MONITORING:
    case IOCTL_ACCUMULATE_ERRORS:
    case IOCTL_NOTIFY_RESET:
    case IOCTL_SET_SECONDARY_ID:
    case IOCTL_MAILBOX:
      return true;
    default:
      return false;
  }
}

int SimBringUp::serve(unsigned long request, unsigned long argument) {
  switch (request) {
    case IOCTL_SET_SECONDARY_ID:
      return secondary_id(argument);
    case IOCTL_MAILBOX:
      return mailbox(argument);
    case IOCTL_STOP_MONITORING:
      monitoring_ = false;
      break;
    case IOCTL_START_MONITORING:
      monitoring_ = true;
      break;
    default:
      break;
  }
  requests_.push_back({request, argument});
  return 0;
}

int SimBringUp::secondary_id(unsigned long argument) {
  if (argument == 0) return kernel_failure(EFAULT);
  // The kernel copies as many bytes as the request number's size field says: 8.
  std::uint64_t id;
  std::memcpy(&id, reinterpret_cast<const void*>(argument), sizeof id);
  requests_.push_back({IOCTL_SET_SECONDARY_ID, id});
  return 0;
}

int SimBringUp::mailbox(unsigned long argument) {
  if (argument == 0) return kernel_failure(EFAULT);
  MailboxArgument record;
  std::memcpy(&record, reinterpret_cast<const void*>(argument), sizeof record);
  if (record.sent == 0 || record.received == 0) return kernel_failure(EFAULT);
  MailboxMessage message;
  std::memcpy(&message, reinterpret_cast<const void*>(record.sent), sizeof message);
  messages_.push_back(message);
  requests_.push_back({IOCTL_MAILBOX, message.words[0]});
  if (!faults_.mailbox_response_untouched) {
    const MailboxMessage response = answer(message);
    std::memcpy(reinterpret_cast<void*>(record.received), &response, sizeof response);
  }
  return 0;
}

MailboxMessage SimBringUp::answer(const MailboxMessage& message) {
  if (faults_.mailbox_response) return *faults_.mailbox_response;
  if (message == ICU_RESET_MESSAGE) return message;  // acknowledged by echoing it
  // The ICU knows no other request and leaves its answer empty.
  refusals_.push_back(fmt::format("ICU mailbox: unknown request 0x{:x}", message.words[0]));
  return MailboxMessage{};
}

}  // namespace zel_sim
