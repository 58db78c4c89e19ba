#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zel_base {

// Everything the stack asks of the kernel driver, the device's registers, host memory lent to
// the device, and time. The real implementation makes system calls and volatile accesses; the
// simulated device (zel_sim) implements the same interface, and a tracing decorator wraps
// either. Calls keep errno semantics: a failing call returns -1 (or MAP_FAILED) with the
// reason in errno, so the caller can take it at once.
class Backend {
 public:
  virtual ~Backend() = default;

  [[nodiscard]] virtual int open(const char* path, int flags) = 0;
  [[nodiscard]] virtual int close(int fd) = 0;
  // An exclusive advisory lock on the file open at `fd`, taken without waiting and held until
  // the descriptor is closed (flock(2) with LOCK_EX | LOCK_NB): 0, or -1 with errno
  // EWOULDBLOCK when another open file holds it, `holder` then the process holding it (0 when
  // that cannot be told). Programs that take it never drive one device at once.
  [[nodiscard]] virtual int lock(int fd, int& holder) = 0;
  [[nodiscard]] virtual int ioctl(int fd, unsigned long request, unsigned long argument) = 0;
  // A shared, readable and writable mapping of `size` bytes of `fd` at offset 0.
  [[nodiscard]] virtual void* map(int fd, std::size_t size) = 0;
  // Host memory for the device: a private anonymous mapping of `size` bytes, readable and
  // writable, every page populated up front (PROT_READ | PROT_WRITE, MAP_PRIVATE |
  // MAP_ANONYMOUS | MAP_POPULATE), zero-filled.
  [[nodiscard]] virtual void* map_anonymous(std::size_t size) = 0;
  // Either kind of mapping.
  [[nodiscard]] virtual int unmap(void* address, std::size_t size) = 0;
  // One 32-bit device read or write; never cached, merged, split or elided.
  virtual std::uint32_t load(const volatile std::uint32_t* reg) = 0;
  virtual void store(volatile std::uint32_t* reg, std::uint32_t value) = 0;
  // A monotonic clock, and a sleep on the same clock.
  virtual std::chrono::nanoseconds now() = 0;
  virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
};

}  // namespace zel_base
