#include "zel_sim/sim_device.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "huge_page_memory.hpp"
#include "kernel_failure.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"
#include "zel_sim/request_names.hpp"
#include "zel_sim/sim_power_up.hpp"

namespace zel_sim {

namespace {

// A mapping as the host's system call makes it, populated, or one in huge pages that come in
// as first touched; all zero either way.
void* map_host_memory(std::size_t size, bool lazy) {
  if (!lazy) {
    return ::mmap(nullptr, size, kernel::HOST_MEMORY_PROTECTION, kernel::HOST_MEMORY_MAP_FLAGS, -1,
                  0);
  }
  std::byte* memory = map_huge_page_aligned(size, kernel::HOST_MEMORY_MAP_FLAGS & ~MAP_POPULATE);
  return memory == nullptr ? MAP_FAILED : memory;
}

}  // namespace

SimConfig SimConfig::for_many_runs() {
  SimConfig config;
  config.latency.load = std::chrono::milliseconds(10);
  config.lazy_host_memory = true;
  return config;
}

SimDevice::SimDevice(SimConfig config)
    : config_(std::move(config)),
      registers_(kernel::CONFIG_SPACE_BYTES / 4),
      tile_memory_(std::min<std::uint32_t>(config_.tile_count, 2048)) {
  switch_on();
}

SimDevice::State::State(const SimConfig& config, std::span<std::uint32_t> registers,
                        TileMemory& tile_memory)
    : tiles(registers, tile_memory, faults, firings, refusals),
      exchange_blocks(registers),
      bootloader(faults, firings, refusals,
                 {buffers, exchange_blocks, registers, tile_memory, tiles},
                 config.initial_sync_mark),
      autoloader(faults, firings, refusals, tile_memory, bootloader) {
  trace.enable(config.trace);
}

SimDevice::~SimDevice() { go_away(); }

void SimDevice::power_up() {
  go_away();
  // memset rather than a loop, which the fuzz build's coverage instrumentation keeps as one.
  std::memset(registers_.data(), 0, registers_.size() * sizeof(registers_[0]));
  tile_memory_.clear();
  switch_on();
}

void SimDevice::switch_on() {
  apply_power_up_values(registers_);
  state_.emplace(config_, registers_, tile_memory_);
}

// Host memory the stack never unmapped is released with the device, so a test that finds
// the leak does not leak itself.
void SimDevice::go_away() {
  for (const auto& [address, size] : state_->host_buffers) ::munmap(address, size);
  state_->host_buffers.clear();
  if (auto handler = unclaimed_refusals_handler()) {
    if (const auto unclaimed = state_->refusals.unclaimed(); !unclaimed.empty()) handler(unclaimed);
  }
}

bool SimDevice::attached() const {
  return std::ranges::any_of(state_->handles,
                             [](const auto& entry) { return entry.second.attached; });
}

bool SimDevice::id_set() const {
  return std::ranges::any_of(state_->handles,
                             [](const auto& entry) { return entry.second.id_set; });
}

int SimDevice::open(const char* path, int flags) {
  state_->now += config_.latency.syscall;
  int result;
  if (!config_.node_path) {
    ++state_->firings.node_absent;
    result = kernel_failure(ENOENT);
  } else if (*config_.node_path != path) {
    result = kernel_failure(ENOENT);
  } else if (flags != kernel::OPEN_FLAGS) {
    result = kernel_refusal(state_->refusals,
                            fmt::format("open with flags 0x{:x}, expected 0x{:x} (read/write, "
                                        "close on exec)",
                                        flags, kernel::OPEN_FLAGS),
                            EINVAL);
  } else {
    result = state_->next_fd++;
    state_->handles.emplace(result, Handle{});
  }
  state_->trace.record({.time = state_->now, .op = TraceOp::Open, .result = result, .path = path});
  return result;
}

int SimDevice::close(int fd) {
  state_->now += config_.latency.syscall;
  const int result =
      state_->handles.erase(fd) == 1
          ? 0
          : kernel_refusal(state_->refusals, fmt::format("close of descriptor {}, not open", fd),
                           EBADF);
  if (state_->locked_by == fd) state_->locked_by.reset();
  state_->trace.record(
      {.time = state_->now, .op = TraceOp::Close, .value = std::uint64_t(fd), .result = result});
  return result;
}

// The node's lock, as flock(2) keeps it: one open descriptor holds it at a time, until it is
// closed. Every descriptor of this device is this process's.
int SimDevice::lock(int fd, int& holder) {
  state_->now += config_.latency.syscall;
  holder = 0;
  int result = 0;
  if (!state_->handles.contains(fd)) {
    result =
        kernel_refusal(state_->refusals, fmt::format("lock of descriptor {}, not open", fd), EBADF);
  } else if (state_->locked_by && *state_->locked_by != fd) {
    holder = static_cast<int>(::getpid());
    result = kernel_failure(EWOULDBLOCK);
  } else {
    state_->locked_by = fd;
  }
  state_->trace.record(
      {.time = state_->now, .op = TraceOp::Lock, .value = std::uint64_t(fd), .result = result});
  return result;
}

void* SimDevice::map(int fd, std::size_t size) {
  state_->now += config_.latency.syscall;
  void* result = MAP_FAILED;
  if (!state_->handles.contains(fd)) {
    kernel_refusal(state_->refusals, fmt::format("map of descriptor {}, not open", fd), EBADF);
  } else if (state_->faults.map_error) {
    ++state_->firings.map_error;
    errno = *state_->faults.map_error;
  } else if (size != kernel::CONFIG_SPACE_BYTES) {
    kernel_refusal(state_->refusals,
                   fmt::format("map of 0x{:x} bytes, expected the configuration space's 0x{:x}",
                               size, kernel::CONFIG_SPACE_BYTES),
                   EINVAL);
  } else {
    ++state_->live_mappings;
    result = registers_.data();
  }
  state_->trace.record({.time = state_->now,
                        .op = TraceOp::Map,
                        .value = size,
                        .result = result == MAP_FAILED ? -1 : 0});
  return result;
}

// Real memory: the device reads it by DMA through the address the host attaches.
void* SimDevice::map_anonymous(std::size_t size) {
  state_->now += config_.latency.syscall;
  void* result = MAP_FAILED;
  if (state_->faults.host_buffer_map_error) {
    ++state_->firings.host_buffer_map_error;
    errno = *state_->faults.host_buffer_map_error;
  } else {
    result = map_host_memory(size, config_.lazy_host_memory);
    if (result != MAP_FAILED) {
      state_->host_buffers.emplace(result, size);
      state_->bootloader.host_memory_made({static_cast<const std::byte*>(result), size});
    }
  }
  state_->trace.record({.time = state_->now,
                        .op = TraceOp::MapAnonymous,
                        .value = size,
                        .result = result == MAP_FAILED ? -1 : 0});
  return result;
}

int SimDevice::unmap(void* address, std::size_t size) {
  state_->now += config_.latency.syscall;
  int result;
  if (auto buffer = state_->host_buffers.find(address); buffer != state_->host_buffers.end()) {
    result = buffer->second == size
                 ? ::munmap(address, size)
                 : kernel_refusal(state_->refusals,
                                  fmt::format("unmap of 0x{:x} bytes of a 0x{:x}-byte host buffer",
                                              size, buffer->second),
                                  EINVAL);
    if (result == 0) state_->host_buffers.erase(buffer);
  } else if (address != registers_.data() || size != kernel::CONFIG_SPACE_BYTES ||
             state_->live_mappings == 0) {
    result = kernel_refusal(state_->refusals, fmt::format("unmap of 0x{:x} bytes not mapped", size),
                            EINVAL);
  } else {
    --state_->live_mappings;
    result = 0;
  }
  state_->trace.record(
      {.time = state_->now, .op = TraceOp::Unmap, .value = size, .result = result});
  return result;
}

std::optional<const IoctlFault*> SimDevice::injected_failure(unsigned long request) const {
  for (const IoctlFault& fault : state_->faults.ioctl_failures) {
    if (fault.request == request) return &fault;
  }
  return std::nullopt;
}

int SimDevice::ioctl(int fd, unsigned long request, unsigned long argument) {
  state_->now += config_.latency.syscall;
  int result;
  if (auto handle = state_->handles.find(fd); handle == state_->handles.end()) {
    result = kernel_refusal(state_->refusals,
                            fmt::format("{} on descriptor {}, not open", request_name(request), fd),
                            EBADF);
  } else if (auto fault = injected_failure(request)) {
    ++state_->firings.ioctl_failures;
    errno = (*fault)->error;
    result = (*fault)->result;
  } else {
    result = handle_ioctl(handle->second, request, argument);
  }
  state_->trace.record({.time = state_->now,
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
    return kernel_refusal(state_->refusals, fmt::format("unknown request 0x{:x}", request), ENOTTY);
  }
  if (!handle.attached || !handle.id_set) {
    return kernel_refusal(
        state_->refusals,
        fmt::format("{} on a handle not attached with its ID set", request_name(request)), EPERM);
  }
  if (bring_up) return state_->bring_up.serve(request, argument);
  return state_->buffers.serve(request, argument);
}

int SimDevice::attach(Handle& handle, unsigned long argument) {
  if (argument != 0) {
    return kernel_refusal(state_->refusals,
                          fmt::format("attach with argument 0x{:x}, expected 0", argument), EINVAL);
  }
  if (handle.attached)
    return kernel_refusal(state_->refusals, "attach of a handle already attached", EBUSY);
  handle.attached = true;
  return 0;
}

int SimDevice::set_id(Handle& handle, unsigned long argument) {
  if (argument != 0) {
    return kernel_refusal(state_->refusals,
                          fmt::format("set-id with argument 0x{:x}, expected 0", argument), EINVAL);
  }
  if (!handle.attached) return kernel_refusal(state_->refusals, "set-id before attach", EPERM);
  if (handle.id_set)
    return kernel_refusal(state_->refusals, "set-id of a handle whose ID is set", EBUSY);
  handle.id_set = true;
  return 0;
}

std::uint32_t SimDevice::register_offset(const volatile std::uint32_t* reg) const {
  const auto* base = registers_.data();
  const auto* address = const_cast<const std::uint32_t*>(reg);
  if (state_->live_mappings == 0 || address < base || address >= base + registers_.size()) {
    // A device access outside a live mapping is a fault of the stack, not of the device:
    // stop at once rather than report a plausible value.
    std::fprintf(stderr, "zel_sim: register access outside the configuration mapping\n");
    std::abort();
  }
  return static_cast<std::uint32_t>(address - base) * 4;
}

std::uint32_t SimDevice::load(const volatile std::uint32_t* reg) {
  const std::uint32_t offset = register_offset(reg);
  state_->now += config_.latency.load;
  const std::uint32_t value = device_load(offset);
  state_->trace.record(
      {.time = state_->now, .op = TraceOp::Load, .offset = offset, .value = value});
  return value;
}

void SimDevice::store(volatile std::uint32_t* reg, std::uint32_t value) {
  const std::uint32_t offset = register_offset(reg);
  state_->now += config_.latency.store;
  state_->trace.record(
      {.time = state_->now, .op = TraceOp::Store, .offset = offset, .value = value});
  device_store(offset, value);
}

void SimDevice::to_device_barrier() {
  state_->bootloader.host_writes_ordered();
  state_->trace.record({.time = state_->now, .op = TraceOp::Barrier});
}

void SimDevice::sleep_for(std::chrono::nanoseconds duration) {
  if (duration > std::chrono::nanoseconds::zero()) state_->now += duration;
}

std::uint32_t SimDevice::peek(std::uint32_t offset) const {
  const std::uint32_t held = registers_.at(offset / 4);
  if (SimHostSync::owns(offset)) return state_->host_sync.visible(offset, held, state_->now);
  if (SimAutoloader::owns(offset)) return state_->autoloader.visible(offset, held, state_->now);
  return held;
}

void SimDevice::poke(std::uint32_t offset, std::uint32_t value) {
  registers_.at(offset / 4) = value;
}

std::uint32_t SimDevice::device_load(std::uint32_t offset) {
  if (state_->tiles.owns(offset)) return state_->tiles.load(offset);
  return peek(offset);
}

void SimDevice::device_store(std::uint32_t offset, std::uint32_t value) {
  if (state_->tiles.owns(offset)) return state_->tiles.store(offset, value);
  if (SimHostSync::owns(offset)) value = state_->host_sync.store(offset, value, state_->now);
  if (SimAutoloader::owns(offset)) value = state_->autoloader.store(offset, value, state_->now);
  if (auto block = SimExchangeBlocks::instance_at(offset))
    state_->exchange_blocks.stored(*block, value);
  registers_[offset / 4] = value;
}

}  // namespace zel_sim
