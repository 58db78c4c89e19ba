#include "zel_sim/sim_device.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "kernel_failure.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"
#include "zel_sim/request_names.hpp"
#include "zel_sim/sim_power_up.hpp"

namespace zel_sim {

SimDevice::SimDevice(SimConfig config)
    : config_(std::move(config)),
      registers_(kernel::CONFIG_SPACE_BYTES / 4),
      tile_memory_(std::min<std::uint32_t>(config_.tile_count, 2048)),
      tiles_(registers_, tile_memory_, faults_, firings_, refusals_) {
  trace_.enable(config_.trace);
  apply_power_up_values(registers_);
}

// Host memory the stack never unmapped is released with the device, so a test that finds
// the leak does not leak itself.
SimDevice::~SimDevice() {
  for (const auto& [address, size] : host_buffers_) ::munmap(address, size);
  if (auto handler = unclaimed_refusals_handler()) {
    if (const auto unclaimed = refusals_.unclaimed(); !unclaimed.empty()) handler(unclaimed);
  }
}

bool SimDevice::attached() const {
  return std::ranges::any_of(handles_, [](const auto& entry) { return entry.second.attached; });
}

bool SimDevice::id_set() const {
  return std::ranges::any_of(handles_, [](const auto& entry) { return entry.second.id_set; });
}

int SimDevice::open(const char* path, int flags) {
  now_ += config_.latency.syscall;
  int result;
  if (!config_.node_path) {
    ++firings_.node_absent;
    result = kernel_failure(ENOENT);
  } else if (*config_.node_path != path) {
    result = kernel_failure(ENOENT);
  } else if (flags != kernel::OPEN_FLAGS) {
    result = kernel_refusal(refusals_,
                            fmt::format("open with flags 0x{:x}, expected 0x{:x} (read/write, "
                                        "close on exec)",
                                        flags, kernel::OPEN_FLAGS),
                            EINVAL);
  } else {
    result = next_fd_++;
    handles_.emplace(result, Handle{});
  }
  trace_.record({.time = now_, .op = TraceOp::Open, .result = result, .path = path});
  return result;
}

int SimDevice::close(int fd) {
  now_ += config_.latency.syscall;
  const int result =
      handles_.erase(fd) == 1
          ? 0
          : kernel_refusal(refusals_, fmt::format("close of descriptor {}, not open", fd), EBADF);
  if (locked_by_ == fd) locked_by_.reset();
  trace_.record({.time = now_, .op = TraceOp::Close, .value = std::uint64_t(fd), .result = result});
  return result;
}

// The node's lock, as flock(2) keeps it: one open descriptor holds it at a time, until it is
// closed. Every descriptor of this device is this process's.
int SimDevice::lock(int fd, int& holder) {
  now_ += config_.latency.syscall;
  holder = 0;
  int result = 0;
  if (!handles_.contains(fd)) {
    result = kernel_refusal(refusals_, fmt::format("lock of descriptor {}, not open", fd), EBADF);
  } else if (locked_by_ && *locked_by_ != fd) {
    holder = static_cast<int>(::getpid());
    result = kernel_failure(EWOULDBLOCK);
  } else {
    locked_by_ = fd;
  }
  trace_.record({.time = now_, .op = TraceOp::Lock, .value = std::uint64_t(fd), .result = result});
  return result;
}

void* SimDevice::map(int fd, std::size_t size) {
  now_ += config_.latency.syscall;
  void* result = MAP_FAILED;
  if (!handles_.contains(fd)) {
    kernel_refusal(refusals_, fmt::format("map of descriptor {}, not open", fd), EBADF);
  } else if (faults_.map_error) {
    ++firings_.map_error;
    errno = *faults_.map_error;
  } else if (size != kernel::CONFIG_SPACE_BYTES) {
    kernel_refusal(refusals_,
                   fmt::format("map of 0x{:x} bytes, expected the configuration space's 0x{:x}",
                               size, kernel::CONFIG_SPACE_BYTES),
                   EINVAL);
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
    ++firings_.host_buffer_map_error;
    errno = *faults_.host_buffer_map_error;
  } else {
    result =
        ::mmap(nullptr, size, kernel::HOST_MEMORY_PROTECTION, kernel::HOST_MEMORY_MAP_FLAGS, -1, 0);
    if (result != MAP_FAILED) {
      host_buffers_.emplace(result, size);
      bootloader_.host_memory_made({static_cast<const std::byte*>(result), size});
    }
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
    result = buffer->second == size
                 ? ::munmap(address, size)
                 : kernel_refusal(refusals_,
                                  fmt::format("unmap of 0x{:x} bytes of a 0x{:x}-byte host buffer",
                                              size, buffer->second),
                                  EINVAL);
    if (result == 0) host_buffers_.erase(buffer);
  } else if (address != registers_.data() || size != kernel::CONFIG_SPACE_BYTES ||
             live_mappings_ == 0) {
    result =
        kernel_refusal(refusals_, fmt::format("unmap of 0x{:x} bytes not mapped", size), EINVAL);
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
  if (auto handle = handles_.find(fd); handle == handles_.end()) {
    result = kernel_refusal(
        refusals_, fmt::format("{} on descriptor {}, not open", request_name(request), fd), EBADF);
  } else if (auto fault = injected_failure(request)) {
    ++firings_.ioctl_failures;
    errno = (*fault)->error;
    result = (*fault)->result;
  } else {
    result = handle_ioctl(handle->second, request, argument);
  }
  trace_.record({.time = now_,
                 .op = TraceOp::Ioctl,
                 .value = argument,
                 .request = request,
                 .result = result});
  return result;
}

int SimDevice::handle_ioctl(Handle& handle, unsigned long request, unsigned long argument) {
  if (request == kernel::ATTACH) return attach(handle, argument);
  if (request == kernel::SET_ID) return set_id(handle, argument);
  const bool bring_up = SimBringUp::serves(request);
  if (!bring_up && !SimBuffers::serves(request)) {
    return kernel_refusal(refusals_, fmt::format("unknown request 0x{:x}", request), ENOTTY);
  }
  if (!handle.attached || !handle.id_set) {
    return kernel_refusal(
        refusals_,
        fmt::format("{} on a handle not attached with its ID set", request_name(request)), EPERM);
  }
  if (bring_up) return bring_up_.serve(request, argument);
  return buffers_.serve(request, argument);
}

int SimDevice::attach(Handle& handle, unsigned long argument) {
  if (argument != 0) {
    return kernel_refusal(refusals_,
                          fmt::format("attach with argument 0x{:x}, expected 0", argument), EINVAL);
  }
  if (handle.attached)
    return kernel_refusal(refusals_, "attach of a handle already attached", EBUSY);
  handle.attached = true;
  return 0;
}

int SimDevice::set_id(Handle& handle, unsigned long argument) {
  if (argument != 0) {
    return kernel_refusal(refusals_,
                          fmt::format("set-id with argument 0x{:x}, expected 0", argument), EINVAL);
  }
  if (!handle.attached) return kernel_refusal(refusals_, "set-id before attach", EPERM);
  if (handle.id_set) return kernel_refusal(refusals_, "set-id of a handle whose ID is set", EBUSY);
  handle.id_set = true;
  return 0;
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

void SimDevice::to_device_barrier() {
  bootloader_.host_writes_ordered();
  trace_.record({.time = now_, .op = TraceOp::Barrier});
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
  if (auto block = SimExchangeBlocks::instance_at(offset)) exchange_blocks_.stored(*block, value);
  registers_[offset / 4] = value;
}

}  // namespace zel_sim
