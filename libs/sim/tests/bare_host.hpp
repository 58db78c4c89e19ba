#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "zel_base/little_endian.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_sim::testing {

// Records as the host lays them out: little-endian fields at the record's offsets.
template <std::size_t N>
struct Record {
  alignas(8) std::array<std::byte, N> bytes{};
  Record& u32(std::size_t offset, std::uint32_t value) {
    zel_base::store_u32_le(bytes, offset, value);
    return *this;
  }
  Record& u64(std::size_t offset, std::uint64_t value) {
    return u32(offset, static_cast<std::uint32_t>(value))
        .u32(offset + 4, static_cast<std::uint32_t>(value >> 32));
  }
  Record& address(std::size_t offset, const void* pointer) {
    return u64(offset, reinterpret_cast<std::uintptr_t>(pointer));
  }
  std::uint32_t u32(std::size_t offset) const { return *zel_base::load_u32_le(bytes, offset); }
};

// A host that drives the simulated device through the Backend alone, as the device's own
// description has it: the node opened, the configuration space mapped, the handle attached
// and given its ID; registers by offset, requests by number. No stack in between.
class BareHost {
 public:
  explicit BareHost(SimDevice& sim);
  ~BareHost();
  BareHost(const BareHost&) = delete;
  BareHost& operator=(const BareHost&) = delete;

  std::uint32_t read(std::uint32_t offset);
  void write(std::uint32_t offset, std::uint32_t value);
  // Register `index` of tile `tile`'s debug window.
  std::uint32_t read_tile(std::uint32_t tile, std::uint32_t index);
  void write_tile(std::uint32_t tile, std::uint32_t index, std::uint32_t value);
  // 0, or the errno of the failed request.
  int request(unsigned long number, unsigned long argument);
  template <class Record>
  int request_with(unsigned long number, const Record& record) {
    return request(number, reinterpret_cast<std::uintptr_t>(&record));
  }

  // Attaches `memory` under `index`: 0, or the errno of the failed request.
  int attach_buffer(std::uint32_t index, std::span<const std::byte> memory);

  // The autoloader's whole sequence: tiles 0 to `tiles` - 1 get `prefix` (1 to 4 KiB), and
  // the host waits out each command.
  void initialize_tiles(std::uint32_t tiles, std::span<const std::byte> prefix);
  // Sleeps until the autoloader is no longer busy, for at most `limit`; whether it got there.
  bool autoloader_done(std::chrono::nanoseconds limit);

  SimDevice& sim;
  int fd;
  volatile std::uint32_t* config;
};

}  // namespace zel_sim::testing
