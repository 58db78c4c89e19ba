#include <utility>

#include "zel_driver/exchange_buffer.hpp"

namespace zel_driver {

ExchangeBufferGuard::ExchangeBufferGuard(const Device& device, std::uint32_t saved_ccsr)
    : device_(&device), saved_ccsr_(saved_ccsr) {
  for (std::size_t i = 0; i < xb::INSTANCES; ++i) {
    operational_[i] = xb::control(static_cast<std::uint32_t>(i / xb::PRIMARY_INSTANCES));
  }
}

Result<ExchangeBufferGuard> ExchangeBufferGuard::create(const Device& device) {
  auto ccsr = device.read_config(CCSR);
  if (!ccsr) return std::unexpected(std::move(ccsr.error()));
  for (std::size_t i = 0; i < xb::INSTANCES; ++i) {
    if (auto held = device.write_config(xb::address(i), xb::control(xb::TRANSFER_REQUEST_ID));
        !held) {
      return std::unexpected(std::move(held.error()));
    }
  }
  if (auto cleared = device.write_config(CCSR, *ccsr & ~CCSR_EXCHANGE_BITS); !cleared) {
    return std::unexpected(std::move(cleared.error()));
  }
  if (auto settled = device.read_config(CCSR); !settled) {
    return std::unexpected(std::move(settled.error()));
  }
  // Made only now: a failure above leaves no guard behind to restore anything.
  return ExchangeBufferGuard(device, *ccsr);
}

ExchangeBufferGuard::ExchangeBufferGuard(ExchangeBufferGuard&& other) noexcept
    : device_(std::exchange(other.device_, nullptr)),
      operational_(other.operational_),
      saved_ccsr_(other.saved_ccsr_) {}

ExchangeBufferGuard& ExchangeBufferGuard::operator=(ExchangeBufferGuard&& other) noexcept {
  if (this != &other) {
    release();
    device_ = std::exchange(other.device_, nullptr);
    operational_ = other.operational_;
    saved_ccsr_ = other.saved_ccsr_;
  }
  return *this;
}

ExchangeBufferGuard::~ExchangeBufferGuard() { release(); }

Status ExchangeBufferGuard::restore_blocks(std::size_t count) const {
  for (std::size_t i = 0; i < count; ++i) {
    if (auto restored = device_->write_config(xb::address(i), operational_[i]); !restored) {
      return restored;
    }
  }
  return {};
}

Status ExchangeBufferGuard::restore_primary() const {
  return restore_blocks(xb::PRIMARY_INSTANCES);
}

Status ExchangeBufferGuard::restore_all() const {
  if (auto restored = restore_blocks(xb::INSTANCES); !restored) return restored;
  if (auto written = device_->write_config(CCSR, saved_ccsr_); !written) return written;
  if (auto settled = device_->read_config(CCSR); !settled) {
    return std::unexpected(std::move(settled.error()));
  }
  return {};
}

void ExchangeBufferGuard::release() noexcept {
  if (device_ == nullptr) return;
  // An undo step at release: its outcome is of no use to anyone any more.
  (void)restore_all();
  device_ = nullptr;
}

}  // namespace zel_driver
