#pragma once

#include <utility>

#include "zel_base/backend.hpp"

namespace zel_base {

// Sole owner of a descriptor: closes it exactly once, when let go, with close(2) or, for a
// descriptor a backend opened (the device node), with that backend's close. A moved-from or
// empty owner (-1) closes nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  // The backend must outlive the owner.
  UniqueFd(int fd, Backend& backend) : fd_(fd), backend_(&backend) {}
  UniqueFd(UniqueFd&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), backend_(other.backend_) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
      backend_ = other.backend_;
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes what is held; the result of a close at this point is of no use to anyone.
  void reset();
  // Gives the descriptor up without closing it: the caller closes it now.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
  Backend* backend_ = nullptr;  // none: close(2)
};

}  // namespace zel_base
