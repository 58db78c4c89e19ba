#pragma once

namespace zel_driver {

// The process holding the flock(2) lock on the file open at `fd`, as the kernel lists it in
// /proc/locks; 0 when it cannot be told.
int flock_holder(int fd);

}  // namespace zel_driver
