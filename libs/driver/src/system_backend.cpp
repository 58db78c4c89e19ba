#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "lock_holder.hpp"
#include "zel_driver/system_backend.hpp"

namespace zel_driver {
namespace {

class SystemBackend final : public zel_base::Backend {
 public:
  int open(const char* path, int flags) override { return ::open(path, flags); }
  int close(int fd) override { return ::close(fd); }
  int lock(int fd, int& holder) override {
    holder = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    const int error = errno;
    if (error == EWOULDBLOCK) holder = flock_holder(fd);
    errno = error;
    return -1;
  }
  int ioctl(int fd, unsigned long request, unsigned long argument) override {
    return ::ioctl(fd, request, argument);
  }
  void* map(int fd, std::size_t size) override {
    return ::mmap(nullptr, size, MAP_PROTECTION, CONFIG_BAR_MAP_FLAGS, fd, 0);
  }
  void* map_anonymous(std::size_t size) override {
    return ::mmap(nullptr, size, MAP_PROTECTION, HOST_BUFFER_MAP_FLAGS, -1, 0);
  }
  int unmap(void* address, std::size_t size) override { return ::munmap(address, size); }
  std::uint32_t load(const volatile std::uint32_t* reg) override { return *reg; }
  void store(volatile std::uint32_t* reg, std::uint32_t value) override { *reg = value; }
  void to_device_barrier() override { std::atomic_thread_fence(std::memory_order_seq_cst); }
  std::chrono::nanoseconds now() override {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  }
  void sleep_for(std::chrono::nanoseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

zel_base::Backend& system_backend() {
  static SystemBackend backend;
  return backend;
}

}  // namespace zel_driver
