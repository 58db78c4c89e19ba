#include <utility>

#include "zel_base/try.hpp"
#include "zel_driver/exchange_buffer.hpp"

namespace zel_driver {

ExchangeBufferGuard::ExchangeBufferGuard(const Device& device, std::uint32_t saved_ccsr)
    : device_(&device), saved_ccsr_(saved_ccsr) {
  for (std::size_t i = 0; i < xb::INSTANCES; ++i) {
    operational_[i] = xb::control(static_cast<std::uint32_t>(i / xb::PRIMARY_INSTANCES));
  }
}

Result<ExchangeBufferGuard> ExchangeBufferGuard::create(const Device& device) {
  ZEL_TRY_ASSIGN(auto ccsr, device.read_config(CCSR));
  for (std::size_t i = 0; i < xb::INSTANCES; ++i) {
    ZEL_TRY(device.write_config(xb::address(i), xb::control(xb::TRANSFER_REQUEST_ID)));
  }
  ZEL_TRY(device.write_config(CCSR, ccsr & ~CCSR_EXCHANGE_BITS));
  ZEL_TRY(device.read_config(CCSR));
  // Made only now: a failure above leaves no guard behind to restore anything.
  return ExchangeBufferGuard(device, ccsr);
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
    ZEL_TRY(device_->write_config(xb::address(i), operational_[i]));
  }
  return {};
}

Status ExchangeBufferGuard::restore_primary() const {
  return restore_blocks(xb::PRIMARY_INSTANCES);
}

Status ExchangeBufferGuard::restore_all() const {
  ZEL_TRY(restore_blocks(xb::INSTANCES));
  ZEL_TRY(device_->write_config(CCSR, saved_ccsr_));
  ZEL_TRY(device_->read_config(CCSR));
  return {};
}

void ExchangeBufferGuard::release() noexcept {
  if (device_ == nullptr) return;
  // An undo step at release: its outcome is of no use to anyone any more.
  (void)restore_all();
  device_ = nullptr;
}

}  // namespace zel_driver
