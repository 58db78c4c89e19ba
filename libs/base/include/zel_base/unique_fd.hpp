#pragma once

#include <utility>

namespace zel_base {

// Sole owner of a file descriptor of this process: closes it exactly once, when let go. A
// moved-from or empty owner (-1) closes nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes what is held (its result is of no use to anyone) and holds `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace zel_base
