#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string_view>

#include <fmt/format.h>

#include "zel_base/forwarding_backend.hpp"

namespace zel_driver {

// A backend decorator that writes what the host asks of the kernel and the device, one JSON
// object per line, to `out` as each call returns; nothing is kept in memory. Each line has
// "t_ns" (the inner backend's clock since the decorator was made) and "op": open (path,
// flags), close (fd), lock (fd; the holder's process ID when it failed), map (fd, size),
// map-anonymous (size), unmap (mapping, size), ioctl (request name, number and its decoded
// argument: record fields and mailbox words, never a host address), load and store (configuration
// offset and value), barrier (the ordering point before a mark that announces host memory), and
// phase (name). Offsets, values, sizes and request numbers are hexadecimal
// strings; calls that can fail have "result", and "errno" by name when they failed. Identical runs
// on a deterministic backend give identical lines. errno is as the inner backend left it.
class TracingBackend final : public zel_base::ForwardingBackend {
 public:
  TracingBackend(zel_base::Backend& inner, std::ostream& out);

  int open(const char* path, int flags) override;
  int close(int fd) override;
  int lock(int fd, int& holder) override;
  int ioctl(int fd, unsigned long request, unsigned long argument) override;
  void* map(int fd, std::size_t size) override;
  void* map_anonymous(std::size_t size) override;
  int unmap(void* address, std::size_t size) override;
  std::uint32_t load(const volatile std::uint32_t* reg) override;
  void store(volatile std::uint32_t* reg, std::uint32_t value) override;
  void to_device_barrier() override;

  // {"op":"phase","name":NAME}: marks where a step of the run begins.
  void phase(std::string_view name);

  // Flushes the lines; false when any of them could not be written whole.
  bool finish();

 private:
  fmt::memory_buffer& begin(std::string_view op);
  void end();
  void result(long long value, int error);
  std::string_view offset_of(const volatile std::uint32_t* reg);

  std::ostream& out_;
  std::chrono::nanoseconds start_;
  fmt::memory_buffer line_;
  // The configuration mapping, so register accesses show as offsets, not addresses.
  const volatile std::byte* config_ = nullptr;
  std::size_t config_size_ = 0;
  char offset_text_[16];
};

}  // namespace zel_driver
