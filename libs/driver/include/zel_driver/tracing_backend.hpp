#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>

#include <fmt/format.h>

#include "zel_base/forwarding_backend.hpp"
#include "zel_driver/trace_format.hpp"

namespace zel_driver {

// A backend decorator that writes what the host asks of the kernel, the device and the clock,
// one JSON object per line (trace_format.hpp), to `out` as each call returns; nothing is kept
// in memory. Each line has "t_ns" and "op": open (path, flags), close (fd), lock (fd; the
// holder's process ID when it failed), map (fd, size), map-anonymous (size), unmap (mapping,
// size), ioctl (request name, number and its decoded argument: record fields and mailbox
// words, never a host address), load and store (configuration offset and value), barrier
// (the ordering point before a mark that announces host memory), now (the
// reading is the line's t_ns), sleep (ns), and phase (name). Offsets, values, sizes and request
// numbers are hexadecimal strings; calls that can fail have "result", and "errno" by name when
// they failed. Identical runs on a deterministic backend give identical lines. errno is as the
// inner backend left it.
class TracingBackend final : public zel_base::ForwardingBackend {
 public:
  // Writes the first line at once. `run` is the recording program's account of the run, a
  // JSON object (anything else is written as {}). The lines' times come from `clock`, the
  // inner backend when none is given: a replay's watchers take the replay's recorded time,
  // whose readings are not calls of the stack.
  TracingBackend(zel_base::Backend& inner, std::ostream& out, std::string_view run = "{}",
                 zel_base::Backend* clock = nullptr);

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
  std::chrono::nanoseconds now() override;
  void sleep_for(std::chrono::nanoseconds duration) override;

  // {"op":"phase","name":NAME}: marks where a step of the run begins.
  void phase(std::string_view name);

  // Writes the last line, `run` being the recording program's account of how the run ended
  // (a JSON object, as for the first line), and flushes. False when any line could not be
  // written whole.
  bool finish(std::string_view run = "{}");

 private:
  void write(std::chrono::nanoseconds at, const TracedCall& call, const TracedAnswer& answer);
  void write(const TracedCall& call, const TracedAnswer& answer = {});
  // The first or the last line: `members` (",\"name\":value..." of the library's) and "run".
  void write_account(std::string_view op, std::string_view members, std::string_view run);
  std::optional<std::uint32_t> offset_of(const volatile std::uint32_t* reg) const;

  std::ostream& out_;
  zel_base::Backend& clock_;
  std::chrono::nanoseconds start_;
  fmt::memory_buffer line_;
  // The configuration mapping, so register accesses show as offsets, not addresses.
  const volatile std::byte* config_ = nullptr;
  std::size_t config_size_ = 0;
};

}  // namespace zel_driver
