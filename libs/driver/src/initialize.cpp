#include <cstdint>

#include "log_target.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/mailbox.hpp"
#include "zel_log/log.hpp"

namespace zel_driver {

Result<MailboxMessage> Device::mailbox(const MailboxMessage& request) const {
  MailboxMessage response;
  const MailboxArgument argument{.sent = reinterpret_cast<std::uintptr_t>(&request),
                                 .received = reinterpret_cast<std::uintptr_t>(&response)};
  ZEL_TRY(ioctl_pointer(IOCTL_MAILBOX, &argument, "ICU mailbox transaction"));
  return response;
}

Status Device::initialize() const {
  zel_log::emit(zel_log::Level::Info, LOG_TARGET, "initializing ZEL device");
  ZEL_TRY(ioctl_value(IOCTL_STOP_MONITORING, 0, "stop monitoring"));
  ZEL_TRY_ASSIGN(auto response, mailbox(ICU_RESET_MESSAGE));
  if ((response.words[0] & ICU_RESPONSE_MASK) != (ICU_RESET_REQUEST & ICU_RESPONSE_MASK)) {
    return std::unexpected(DriverError::invalid("unexpected ICU reset response"));
  }
  ZEL_TRY(ioctl_value(IOCTL_START_MONITORING, 0, "start monitoring"));
  ZEL_TRY(ioctl_value(IOCTL_ACCUMULATE_ERRORS, 0, "accumulate errors"));
  ZEL_TRY(ioctl_value(IOCTL_NOTIFY_RESET, 0, "notify reset"));
  // The request number announces an 8-byte argument while the ID is 32 bits: a zero-filled
  // 8-byte slot reads as ID 0 whichever width the kernel takes.
  const std::uint64_t secondary_id = 0;
  ZEL_TRY(ioctl_pointer(IOCTL_SET_SECONDARY_ID, &secondary_id, "set secondary ZEL ID"));
  zel_log::emit(zel_log::Level::Info, LOG_TARGET, "ZEL device initialized");
  return {};
}

}  // namespace zel_driver
