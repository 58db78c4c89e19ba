#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "zel_base/backend.hpp"
#include "zel_base/unique_fd.hpp"
#include "zel_driver/driver_error.hpp"
#include "zel_driver/kernel_interface.hpp"

namespace zel_driver {

using zel_base::Backend;

template <class T>
using Result = std::expected<T, DriverError>;
using Status = std::expected<void, DriverError>;

// The open device: a descriptor of the device node and the mapped configuration space.
// Opened only by Device::open; released (unmapped, then closed) exactly once, by its last
// owner. Every operation takes it read-only: writes go to the device, never into the handle.
// The operations are grouped by concept; each group is implemented in its own source file
// and its constants live in the header named beside it.
class Device {
 public:
  // --- handle, kernel interface and configuration space (device.cpp) ---

  // Opens `path` on the system backend (system_backend.hpp), maps the configuration space, attaches
  // the device and sets its ID. On failure, whatever was acquired is released before the error
  // returns.
  [[nodiscard]] static Result<Device> open(std::string_view path);
  // The same on another backend (the simulated device); the backend must outlive the handle.
  [[nodiscard]] static Result<Device> open(std::string_view path, Backend& backend);

  Device(Device&& other) noexcept;
  Device& operator=(Device&& other) noexcept;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device();

  // Issues `request` with an integer (or a record's address) as argument; any non-zero
  // return is Io with `operation`.
  [[nodiscard]] Status ioctl_value(unsigned long request, std::uint64_t value,
                                   const char* operation) const;
  [[nodiscard]] Status ioctl_pointer(unsigned long request, const void* value,
                                     const char* operation) const;

  // A valid offset is a multiple of 4 no greater than 0x7fffc.
  [[nodiscard]] static Status check_offset(std::uint32_t offset);
  // Exactly one 32-bit device access each, after the offset check.
  [[nodiscard]] Result<std::uint32_t> read_config(std::uint32_t offset) const;
  [[nodiscard]] Status write_config(std::uint32_t offset, std::uint32_t value) const;

  Backend& backend() const { return *backend_; }

  // --- initialization through the ICU mailbox (initialize.cpp, mailbox.hpp) ---

  [[nodiscard]] Result<MailboxMessage> mailbox(const MailboxMessage& request) const;
  [[nodiscard]] Status initialize() const;

  // --- configuration replay (replay_configuration.cpp) ---

  [[nodiscard]] Status replay_configuration(std::span<const std::byte> image) const;

  // --- host sync marks (host_sync.cpp, host_sync.hpp) ---

  using Poll = std::function<Status(const Device&)>;

  [[nodiscard]] Status write_sync_mark(std::uint32_t reg, std::uint32_t mark) const;
  [[nodiscard]] Status set_mark(std::uint32_t mark) const;
  [[nodiscard]] Status wait_mark(std::uint32_t reg, std::uint32_t expected,
                                 std::chrono::nanoseconds timeout) const;
  [[nodiscard]] Status wait_mark_with(std::uint32_t reg, std::uint32_t expected,
                                      std::chrono::nanoseconds timeout, const Poll& poll) const;
  [[nodiscard]] Status wait_mark_poll(std::uint32_t reg, std::uint32_t expected,
                                      std::chrono::nanoseconds timeout,
                                      std::chrono::nanoseconds interval, const Poll& poll) const;
  [[nodiscard]] Status clear_host_sync_marks() const;

  // --- tile debug interface (tile_debug.cpp, tile_debug.hpp) ---

  [[nodiscard]] Result<std::uint32_t> read_tile_debug(std::uint16_t physical_tile,
                                                      std::uint32_t reg) const;
  [[nodiscard]] Status write_tile_debug(std::uint16_t physical_tile, std::uint32_t reg,
                                        std::uint32_t value) const;
  [[nodiscard]] Result<std::uint32_t> tile_context_state(std::uint16_t physical_tile,
                                                         std::uint32_t context) const;
  [[nodiscard]] Status execute_tile_instruction(std::uint16_t physical_tile, std::uint32_t context,
                                                std::uint32_t instruction) const;

  // --- tile context access (tile_context.cpp; the templates in tile_context.hpp) ---

  // Runs `operation` (returning Result<T>) with the context stopped if it was running, and
  // hands the context back with its run-break mask and run state as they were.
  template <class Operation>
  std::invoke_result_t<Operation&> with_tile_context(std::uint16_t physical_tile,
                                                     std::uint32_t context,
                                                     bool inactive_is_quiescent,
                                                     Operation&& operation) const;
  // The same, with M registers 0 and 1 of the context saved before and restored after.
  template <class Operation>
  std::invoke_result_t<Operation&> with_tile_scratch(std::uint16_t physical_tile,
                                                     std::uint32_t context,
                                                     bool inactive_is_quiescent,
                                                     Operation&& operation) const;

  [[nodiscard]] Result<std::uint32_t> read_tile_m_register_in_context(std::uint16_t physical_tile,
                                                                      std::uint32_t context,
                                                                      std::uint32_t reg) const;
  [[nodiscard]] Result<std::uint32_t> read_tile_word_without_save(std::uint16_t physical_tile,
                                                                  std::uint32_t context,
                                                                  std::uint32_t address) const;
  [[nodiscard]] Status write_tile_word(std::uint16_t physical_tile, std::uint32_t context,
                                       std::uint32_t address, std::uint32_t value,
                                       bool inactive_is_quiescent) const;
  [[nodiscard]] Status write_tile_word_from_inactive_context(std::uint16_t physical_tile,
                                                             std::uint32_t context,
                                                             std::uint32_t address,
                                                             std::uint32_t value) const;
  [[nodiscard]] Result<std::vector<std::uint32_t>>
  read_tile_words_at_addresses_from_inactive_context(
      std::uint16_t physical_tile, std::uint32_t context,
      std::span<const std::uint32_t> addresses) const;
  [[nodiscard]] Result<std::vector<std::uint32_t>> read_tile_words_from_inactive_context(
      std::uint16_t physical_tile, std::uint32_t context, std::uint32_t address,
      std::uint32_t words) const;

  // --- tile memory through the hardware autoloader (autoloader.cpp) ---

  [[nodiscard]] Status initialize_tile_memory(std::size_t tile_count,
                                              std::span<const std::byte> prefix) const;
  [[nodiscard]] Status reset_tile_memory(std::size_t tile_count) const;
  [[nodiscard]] Status wait_autoloader(std::chrono::nanoseconds timeout) const;

  // --- host buffer attachment (buffer_attachments.cpp, buffer_attachments.hpp) ---

  [[nodiscard]] Status attach_buffer(std::uint32_t index, const std::byte* address,
                                     std::size_t size) const;
  void detach_buffer(std::uint32_t index) const;

 private:
  Device(Backend& backend, volatile std::uint32_t* config, zel_base::UniqueFd fd)
      : backend_(&backend), config_(config), fd_(std::move(fd)) {}
  void release() noexcept;

  Backend* backend_;
  volatile std::uint32_t* config_;  // nullptr once moved from
  zel_base::UniqueFd fd_;           // closed through the backend, after the unmap
};

}  // namespace zel_driver
