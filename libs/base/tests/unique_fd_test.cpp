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

  const int kept = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  UniqueFd owner(kept);
  EXPECT_EQ(owner.release(), kept);
  owner.reset();
  EXPECT_TRUE(is_open(kept));
  ::close(kept);
}

}  // namespace
}  // namespace zel_base
