#include "zel_base/unique_fd.hpp"

#include <unistd.h>

namespace zel_base {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace zel_base
