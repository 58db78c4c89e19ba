#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The kernel driver's interface: its request numbers and argument records. The numbers are
// the driver's own and are used verbatim; the size field inside a number does not describe
// the argument actually passed.
namespace zel_driver {

inline constexpr unsigned long IOCTL_ATTACH = 0xc008ed0a;
inline constexpr unsigned long IOCTL_ATTACH_BUFFER = 0xc008ed0b;
inline constexpr unsigned long IOCTL_DETACH_BUFFER = 0xc008ed0c;
inline constexpr unsigned long IOCTL_SET_ID = 0xc008ed0e;
inline constexpr unsigned long IOCTL_MAILBOX = 0xc008ed1f;
inline constexpr unsigned long IOCTL_STOP_MONITORING = 0x0000ed22;
inline constexpr unsigned long IOCTL_START_MONITORING = 0x0000ed23;
inline constexpr unsigned long IOCTL_ACCUMULATE_ERRORS = 0x0000ed24;
inline constexpr unsigned long IOCTL_NOTIFY_RESET = 0x4004ed2d;
inline constexpr unsigned long IOCTL_SET_SECONDARY_ID = 0x4008ed2f;

// The device node is opened read/write and closed on exec.
inline constexpr int DEVICE_OPEN_FLAGS = 0x80002;
inline constexpr std::size_t CONFIG_BAR_SIZE = 0x80000;

// Argument of IOCTL_ATTACH_BUFFER.
struct AttachBufferData {
  std::uint32_t index;
  std::uint32_t size;
  std::uint64_t address;
};
static_assert(sizeof(AttachBufferData) == 16);
static_assert(offsetof(AttachBufferData, index) == 0);
static_assert(offsetof(AttachBufferData, size) == 4);
static_assert(offsetof(AttachBufferData, address) == 8);

// One five-word ICU mailbox message; the default message is all zero.
struct MailboxMessage {
  std::array<std::uint32_t, 5> words{};
  bool operator==(const MailboxMessage&) const = default;
};
static_assert(sizeof(MailboxMessage) == 20);
static_assert(offsetof(MailboxMessage, words) == 0);

// Argument of IOCTL_MAILBOX: the kernel reads `sent` and writes the response to `received`.
struct MailboxArgument {
  std::uint64_t sent;
  std::uint64_t received;
};
static_assert(sizeof(MailboxArgument) == 16);
static_assert(offsetof(MailboxArgument, sent) == 0);
static_assert(offsetof(MailboxArgument, received) == 8);

}  // namespace zel_driver
