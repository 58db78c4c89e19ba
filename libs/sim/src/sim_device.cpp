#include "zel_sim/sim_device.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kernel_failure.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_sim/sim_power_up.hpp"

namespace zel_sim {

using zel_driver::CONFIG_BAR_SIZE;

SimDevice::SimDevice(SimConfig config)
    : config_(std::move(config)),
      registers_(CONFIG_BAR_SIZE / 4, 0),
      tile_memory_(std::min<std::uint32_t>(config_.tile_count, 2048)),
      tiles_(registers_, tile_memory_, faults_) {
  trace_.enable(config_.trace);
  apply_power_up_values(registers_);
}

// Host memory the stack never unmapped is released with the device, so a test that finds
// the leak does not leak itself.
SimDevice::~SimDevice() {
  for (const auto& [address, size] : host_buffers_) ::munmap(address, size);
}

int SimDevice::open(const char* path, int flags) {
  now_ += config_.latency.syscall;
  int result;
  if (!config_.node_path || *config_.node_path != path) {
    result = kernel_failure(ENOENT);
  } else if ((flags & 3) != 2) {
    result = kernel_failure(EACCES);  // the driver only serves read/write opens
  } else {
    result = next_fd_++;
    open_fds_.insert(result);
  }
  trace_.record({.time = now_, .op = TraceOp::Open, .result = result, .path = path});
  return result;
}

int SimDevice::close(int fd) {
  now_ += config_.latency.syscall;
  const int result = open_fds_.erase(fd) == 1 ? 0 : kernel_failure(EBADF);
  trace_.record({.time = now_, .op = TraceOp::Close, .value = std::uint64_t(fd), .result = result});
  return result;
}

void* SimDevice::map(int fd, std::size_t size) {
  now_ += config_.latency.syscall;
  void* result = MAP_FAILED;
  if (!open_fds_.contains(fd)) {
    errno = EBADF;
  } else if (faults_.map_error) {
    errno = *faults_.map_error;
  } else if (size != CONFIG_BAR_SIZE) {
    errno = EINVAL;
  } else {
    ++live_mappings_;
    result = registers_.data();
  }
  trace_.record(
      {.time = now_, .op = TraceOp::Map, .value = size, .result = result == MAP_FAILED ? -1 : 0});
  return result;
}

// Real memory: the device reads it by DMA through the address the host attaches.
void* SimDevice::map_anonymous(std::size_t size) {
  now_ += config_.latency.syscall;
  void* result = MAP_FAILED;
  if (faults_.host_buffer_map_error) {
    errno = *faults_.host_buffer_map_error;
  } else {
    result = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (result != MAP_FAILED) host_buffers_.emplace(result, size);
  }
  trace_.record({.time = now_,
                 .op = TraceOp::MapAnonymous,
                 .value = size,
                 .result = result == MAP_FAILED ? -1 : 0});
  return result;
}

int SimDevice::unmap(void* address, std::size_t size) {
  now_ += config_.latency.syscall;
  int result;
  if (auto buffer = host_buffers_.find(address); buffer != host_buffers_.end()) {
    result = buffer->second == size ? ::munmap(address, size) : kernel_failure(EINVAL);
    if (result == 0) host_buffers_.erase(buffer);
  } else if (address != registers_.data() || size != CONFIG_BAR_SIZE || live_mappings_ == 0) {
    result = kernel_failure(EINVAL);
  } else {
    --live_mappings_;
    result = 0;
  }
  trace_.record({.time = now_, .op = TraceOp::Unmap, .value = size, .result = result});
  return result;
}

std::optional<const IoctlFault*> SimDevice::injected_failure(unsigned long request) const {
  for (const IoctlFault& fault : faults_.ioctl_failures) {
    if (fault.request == request) return &fault;
  }
  return std::nullopt;
}

int SimDevice::ioctl(int fd, unsigned long request, unsigned long argument) {
  now_ += config_.latency.syscall;
  int result;
  if (!open_fds_.contains(fd)) {
    result = kernel_failure(EBADF);
  } else if (auto fault = injected_failure(request)) {
    errno = (*fault)->error;
    result = (*fault)->result;
  } else {
    result = handle_ioctl(request, argument);
  }
  trace_.record({.time = now_,
                 .op = TraceOp::Ioctl,
                 .value = argument,
                 .request = request,
                 .result = result});
  return result;
}

int SimDevice::handle_ioctl(unsigned long request, unsigned long argument) {
  if (SimBringUp::serves(request)) return bring_up_.serve(request, argument);
  if (SimBuffers::serves(request)) return buffers_.serve(request, argument);
  switch (request) {
    case zel_driver::IOCTL_ATTACH:
      attached_ = true;
      return 0;
    case zel_driver::IOCTL_SET_ID:
      id_set_ = true;
      return 0;
    default:
      return kernel_failure(ENOTTY);
  }
}

std::uint32_t SimDevice::register_offset(const volatile std::uint32_t* reg) const {
  const auto* base = registers_.data();
  const auto* address = const_cast<const std::uint32_t*>(reg);
  if (live_mappings_ == 0 || address < base || address >= base + registers_.size()) {
    // A device access outside a live mapping is a fault of the stack, not of the device:
    // stop at once rather than report a plausible value.
    std::fprintf(stderr, "zel_sim: register access outside the configuration mapping\n");
    std::abort();
  }
  return static_cast<std::uint32_t>(address - base) * 4;
}

std::uint32_t SimDevice::load(const volatile std::uint32_t* reg) {
  const std::uint32_t offset = register_offset(reg);
  now_ += config_.latency.load;
  const std::uint32_t value = device_load(offset);
  trace_.record({.time = now_, .op = TraceOp::Load, .offset = offset, .value = value});
  return value;
}

void SimDevice::store(volatile std::uint32_t* reg, std::uint32_t value) {
  const std::uint32_t offset = register_offset(reg);
  now_ += config_.latency.store;
  trace_.record({.time = now_, .op = TraceOp::Store, .offset = offset, .value = value});
  device_store(offset, value);
}

void SimDevice::sleep_for(std::chrono::nanoseconds duration) {
  if (duration > std::chrono::nanoseconds::zero()) now_ += duration;
}

std::uint32_t SimDevice::peek(std::uint32_t offset) const {
  const std::uint32_t held = registers_.at(offset / 4);
  if (SimHostSync::owns(offset)) return host_sync_.visible(offset, held, now_);
  if (SimAutoloader::owns(offset)) return autoloader_.visible(offset, held, now_);
  return held;
}

void SimDevice::poke(std::uint32_t offset, std::uint32_t value) {
  registers_.at(offset / 4) = value;
}

std::uint32_t SimDevice::device_load(std::uint32_t offset) {
  if (tiles_.owns(offset)) return tiles_.load(offset);
  return peek(offset);
}

void SimDevice::device_store(std::uint32_t offset, std::uint32_t value) {
  if (tiles_.owns(offset)) return tiles_.store(offset, value);
  if (SimHostSync::owns(offset)) value = host_sync_.store(offset, value, now_);
  if (SimAutoloader::owns(offset)) value = autoloader_.store(offset, value, now_);
  registers_[offset / 4] = value;
}

}  // namespace zel_sim
