#include "zel_base/unique_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace zel_base {
namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesExactlyOnceWhateverPathItTakes) {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    UniqueFd first(fd);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), fd);
    UniqueFd third;
    third = std::move(second);
    EXPECT_TRUE(is_open(fd));
  }
  EXPECT_FALSE(is_open(fd));
}

// A descriptor of a backend goes back through that backend, once.
TEST(UniqueFd, BackendDescriptorIsClosedByItsBackend) {
  struct CountingClose final : Backend {
    int closed = 0;
    int last = -1;
    int open(const char*, int) override { return -1; }
    int close(int fd) override {
      ++closed;
      last = fd;
      return 0;
    }
    int lock(int, int&) override { return -1; }
    int ioctl(int, unsigned long, unsigned long) override { return -1; }
    void* map(int, std::size_t) override { return nullptr; }
    void* map_anonymous(std::size_t) override { return nullptr; }
    int unmap(void*, std::size_t) override { return -1; }
    std::uint32_t load(const volatile std::uint32_t*) override { return 0; }
    void store(volatile std::uint32_t*, std::uint32_t) override {}
    void to_device_barrier() override {}
    std::chrono::nanoseconds now() override { return {}; }
    void sleep_for(std::chrono::nanoseconds) override {}
  } backend;
  {
    UniqueFd owner(1234, backend);
    UniqueFd moved(std::move(owner));
  }
  EXPECT_EQ(backend.closed, 1);
  EXPECT_EQ(backend.last, 1234);
}

}  // namespace
}  // namespace zel_base
