#include "zel_base/unique_fd.hpp"

#include <unistd.h>

namespace zel_base {

void UniqueFd::reset() {
  if (fd_ < 0) return;
  if (backend_ != nullptr) {
    static_cast<void>(backend_->close(fd_));
  } else {
    ::close(fd_);
  }
  fd_ = -1;
}

}  // namespace zel_base
