#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zel_driver {

// Everything the library asks of the kernel driver, the device's registers and time. The
// real implementation makes system calls and volatile accesses; the simulated device
// (zel_sim) implements the same interface. Calls keep errno semantics: a failing call
// returns -1 (or MAP_FAILED) with the reason in errno, so the caller can take it at once.
class Backend {
 public:
  virtual ~Backend() = default;

  virtual int open(const char* path, int flags) = 0;
  virtual int close(int fd) = 0;
  virtual int ioctl(int fd, unsigned long request, unsigned long argument) = 0;
  // A shared, readable and writable mapping of `size` bytes of `fd` at offset 0.
  virtual void* map(int fd, std::size_t size) = 0;
  virtual int unmap(void* address, std::size_t size) = 0;
  // One 32-bit device read or write; never cached, merged, split or elided.
  virtual std::uint32_t load(const volatile std::uint32_t* reg) = 0;
  virtual void store(volatile std::uint32_t* reg, std::uint32_t value) = 0;
  // A monotonic clock, and a sleep on the same clock.
  virtual std::chrono::nanoseconds now() = 0;
  virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
};

// Real system calls, volatile accesses, the steady clock and nanosleep.
Backend& system_backend();

}  // namespace zel_driver
