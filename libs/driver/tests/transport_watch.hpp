#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>

#include "zel_base/forwarding_backend.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/transport.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {

// The simulated device with a window on the loader's transport: it passes every call on,
// notes where the transport lies when it is attached, and shows a test the transport at every
// non-zero mark the host writes, just before the device sees the mark.
class TransportWatch final : public zel_base::ForwardingBackend {
 public:
  explicit TransportWatch(zel_sim::SimDevice& sim) : ForwardingBackend(sim) {}

  // Called with the mark and the transport as the device is about to read it.
  std::function<void(std::uint32_t mark, std::span<const std::byte> transport)> on_mark;
  // The transport's memory, as last attached.
  std::span<const std::byte> transport() const { return transport_; }

  int ioctl(int fd, unsigned long request, unsigned long argument) override {
    if (request == IOCTL_ATTACH_BUFFER) {
      AttachBufferData record;
      std::memcpy(&record, reinterpret_cast<const void*>(argument), sizeof record);
      if (record.index == TRANSPORT_INDEX) {
        transport_ = {reinterpret_cast<const std::byte*>(record.address), record.size};
      }
    }
    return inner().ioctl(fd, request, argument);
  }
  void* map(int fd, std::size_t size) override {
    void* mapped = inner().map(fd, size);
    config_ = static_cast<volatile std::uint32_t*>(mapped);
    return mapped;
  }
  void store(volatile std::uint32_t* reg, std::uint32_t value) override {
    if (on_mark && reg == config_ + HSP_SYNC_CONTROL_0 / 4 && value != 0)
      on_mark(value, transport_);
    inner().store(reg, value);
  }

 private:
  volatile std::uint32_t* config_ = nullptr;
  std::span<const std::byte> transport_;
};

}  // namespace zel_driver
