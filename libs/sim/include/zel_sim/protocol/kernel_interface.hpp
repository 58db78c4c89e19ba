#pragma once

#include <cstddef>
#include <cstdint>

// The kernel driver's side of its interface: how its node is opened and mapped, the requests
// it serves and the records they carry. Records are little-endian bytes at fixed offsets;
// the kernel copies them from the caller's memory and decodes them itself.
namespace zel_sim::kernel {

// The node serves read/write opens closed on exec (O_RDWR | O_CLOEXEC), nothing else.
inline constexpr int OPEN_FLAGS = 0x80002;
// The configuration space, mapped whole from offset 0.
inline constexpr std::size_t CONFIG_SPACE_BYTES = 0x80000;
// Host memory lent to the device: private, anonymous, populated (MAP_PRIVATE | MAP_ANONYMOUS
// | MAP_POPULATE), readable and writable (PROT_READ | PROT_WRITE).
inline constexpr int HOST_MEMORY_PROTECTION = 0x3;
inline constexpr int HOST_MEMORY_MAP_FLAGS = 0x8022;

// Request numbers, type byte 0xed. The size field inside a number is the driver's own and
// does not describe what is passed.
inline constexpr unsigned long ATTACH = 0xc008ed0a;
inline constexpr unsigned long ATTACH_BUFFER = 0xc008ed0b;
inline constexpr unsigned long DETACH_BUFFER = 0xc008ed0c;
inline constexpr unsigned long SET_ID = 0xc008ed0e;
inline constexpr unsigned long MAILBOX = 0xc008ed1f;
inline constexpr unsigned long STOP_MONITORING = 0x0000ed22;
inline constexpr unsigned long START_MONITORING = 0x0000ed23;
inline constexpr unsigned long ACCUMULATE_ERRORS = 0x0000ed24;
inline constexpr unsigned long NOTIFY_RESET = 0x4004ed2d;
inline constexpr unsigned long SET_SECONDARY_ID = 0x4008ed2f;

// Attach-buffer record: index and size (32 bits each), then the buffer's address (64 bits).
inline constexpr std::size_t ATTACH_RECORD_BYTES = 16;
inline constexpr std::size_t ATTACH_RECORD_INDEX = 0;
inline constexpr std::size_t ATTACH_RECORD_SIZE = 4;
inline constexpr std::size_t ATTACH_RECORD_ADDRESS = 8;

// Mailbox record: the address of the message sent, then where the answer goes (64 bits each).
inline constexpr std::size_t MAILBOX_RECORD_BYTES = 16;
inline constexpr std::size_t MAILBOX_RECORD_SENT = 0;
inline constexpr std::size_t MAILBOX_RECORD_RECEIVED = 8;
// A mailbox message: five 32-bit words, word 0 first.
inline constexpr std::size_t MAILBOX_MESSAGE_WORDS = 5;
inline constexpr std::size_t MAILBOX_MESSAGE_BYTES = 20;

// The secondary ID is read at the width its request number announces.
inline constexpr std::size_t SECONDARY_ID_BYTES = 8;

}  // namespace zel_sim::kernel
