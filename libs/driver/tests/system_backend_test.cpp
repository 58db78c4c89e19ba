#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "zel_driver/device.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/signals.hpp"
#include "zel_driver/system_backend.hpp"

namespace zel_driver {
namespace {

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

bool is_mapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(path) != std::string::npos) return true;
  }
  return false;
}

// A regular file stands in for the node: it opens and maps like the device, and the first
// request then fails the way a kernel without the driver answers it.
TEST(SystemBackend, RegularFileOpensAndMapsThenAttachFailsAndAllIsReleased) {
  char path_template[] = "/tmp/zel-node-XXXXXX";
  const int fd = mkstemp(path_template);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 512 * 1024), 0);
  close(fd);
  const std::string path = path_template;

  const std::size_t descriptors_before = open_descriptor_count();
  auto device = Device::open(path);
  ASSERT_FALSE(device);
  EXPECT_EQ(device.error().debug(),
            "Io { operation: \"attach ZEL\", source: Os { code: 25, kind: Uncategorized, message: "
            "\"Inappropriate ioctl for device\" } }");
  EXPECT_EQ(open_descriptor_count(), descriptors_before);
  EXPECT_FALSE(is_mapped(path));
  std::filesystem::remove(path);
}

TEST(SystemBackend, OpenPassesItsFlagsThrough) {
  char path[] = "/tmp/zel-node-XXXXXX";
  const int created = mkstemp(path);
  ASSERT_GE(created, 0);
  close(created);
  const int fd = system_backend().open(path, DEVICE_OPEN_FLAGS);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_EQ(system_backend().close(fd), 0);
  std::filesystem::remove(path);
}

TEST(SystemBackend, MissingNodeIsNotFound) {
  auto device = Device::open("/nonexistent/zel0");
  ASSERT_FALSE(device);
  EXPECT_EQ(device.error().debug(),
            "Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, message: "
            "\"No such file or directory\" } }");
}

TEST(Signals, BlocksInterruptAndTerminationForTheThread) {
  sigset_t saved;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &saved), 0);
  ASSERT_TRUE(block_device_interrupt_signals());
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_TRUE(sigismember(&now, SIGINT));
  EXPECT_TRUE(sigismember(&now, SIGTERM));
  EXPECT_TRUE(sigismember(&now, SIGHUP));
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace
}  // namespace zel_driver
