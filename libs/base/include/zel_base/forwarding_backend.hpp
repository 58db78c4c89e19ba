#pragma once

#include "zel_base/backend.hpp"

namespace zel_base {

// A backend that passes every call on to another: the base of decorators that watch, trace or
// disturb some calls and leave the rest alone. The inner backend must outlive it.
class ForwardingBackend : public Backend {
 public:
  explicit ForwardingBackend(Backend& inner) : inner_(inner) {}

  int open(const char* path, int flags) override { return inner_.open(path, flags); }
  int close(int fd) override { return inner_.close(fd); }
  int lock(int fd, int& holder) override { return inner_.lock(fd, holder); }
  int ioctl(int fd, unsigned long request, unsigned long argument) override {
    return inner_.ioctl(fd, request, argument);
  }
  void* map(int fd, std::size_t size) override { return inner_.map(fd, size); }
  void* map_anonymous(std::size_t size) override { return inner_.map_anonymous(size); }
  int unmap(void* address, std::size_t size) override { return inner_.unmap(address, size); }
  std::uint32_t load(const volatile std::uint32_t* reg) override { return inner_.load(reg); }
  void store(volatile std::uint32_t* reg, std::uint32_t value) override {
    inner_.store(reg, value);
  }
  void to_device_barrier() override { inner_.to_device_barrier(); }
  std::chrono::nanoseconds now() override { return inner_.now(); }
  void sleep_for(std::chrono::nanoseconds duration) override { inner_.sleep_for(duration); }

 protected:
  Backend& inner() { return inner_; }

 private:
  Backend& inner_;
};

}  // namespace zel_base
