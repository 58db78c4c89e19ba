#include "lock_holder.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace zel_driver {

int flock_holder(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return 0;
  // "1: FLOCK  ADVISORY  WRITE 4242 00:05:1234 0 EOF": the file as the device and inode of
  // the filesystem it lives on, the device numbers in hexadecimal. Waiters show "->" first.
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, key;
    int pid = 0;
    if (!(fields >> number >> kind >> mode >> access >> pid >> key)) continue;
    if (kind != "FLOCK" || access != "WRITE" || pid <= 0) continue;
    // The kernel pads the device numbers to two digits.
    unsigned device_major = 0, device_minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(key.c_str(), "%x:%x:%lu", &device_major, &device_minor, &inode) != 3) continue;
    if (device_major == major(status.st_dev) && device_minor == minor(status.st_dev) &&
        inode == status.st_ino) {
      return pid;
    }
  }
  return 0;
}

}  // namespace zel_driver
