#include "zel_sim/sim_device.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>
#include <sstream>

#include <gtest/gtest.h>

#include "zel_driver/kernel_interface.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;

TEST(SimKernel, AccountsDescriptorsAndMappings) {
  SimDevice sim;
  const int fd = sim.open("/dev/zel0", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(sim.open_descriptors(), 1u);
  void* config = sim.map(fd, zel_driver::CONFIG_BAR_SIZE);
  ASSERT_NE(config, MAP_FAILED);
  EXPECT_EQ(sim.live_mappings(), 1u);

  EXPECT_EQ(sim.map(fd, 4096), MAP_FAILED);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(sim.unmap(config, 4096), -1);
  EXPECT_EQ(sim.unmap(config, zel_driver::CONFIG_BAR_SIZE), 0);
  EXPECT_EQ(sim.unmap(config, zel_driver::CONFIG_BAR_SIZE), -1);  // not twice
  EXPECT_EQ(sim.live_mappings(), 0u);
  EXPECT_EQ(sim.close(fd), 0);
  EXPECT_EQ(sim.close(fd), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(sim.open_descriptors(), 0u);
}

TEST(SimKernel, NodePathAndRequests) {
  SimDevice absent(SimConfig{.node_path = std::nullopt});
  EXPECT_EQ(absent.open("/dev/zel0", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);

  SimDevice elsewhere(SimConfig{.node_path = "/dev/zel7"});
  EXPECT_EQ(elsewhere.open("/dev/zel0", O_RDWR), -1);
  const int fd = elsewhere.open("/dev/zel7", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(elsewhere.ioctl(fd, zel_driver::IOCTL_ATTACH, 0), 0);
  EXPECT_EQ(elsewhere.ioctl(fd, 0xed99, 0), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(elsewhere.ioctl(fd + 1, zel_driver::IOCTL_ATTACH, 0), -1);
  EXPECT_EQ(errno, EBADF);

  elsewhere.faults().ioctl_failures.push_back({zel_driver::IOCTL_SET_ID, EAGAIN});
  EXPECT_EQ(elsewhere.ioctl(fd, zel_driver::IOCTL_SET_ID, 0), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_FALSE(elsewhere.id_set());
}

TEST(SimClock, AdvancesWithAccessesAndSleepsOnly) {
  SimDevice sim(SimConfig{.latency = {.load = 1000ns, .store = 100ns, .syscall = 2000ns}});
  const int fd = sim.open("/dev/zel0", O_RDWR);
  auto* config = static_cast<volatile std::uint32_t*>(sim.map(fd, zel_driver::CONFIG_BAR_SIZE));
  const auto start = sim.now();
  EXPECT_EQ(start, 4000ns);
  sim.store(config + 1, 5);
  EXPECT_EQ(sim.load(config + 1), 5u);
  EXPECT_EQ(sim.now() - start, 1100ns);
  sim.sleep_for(10s);
  EXPECT_EQ(sim.now() - start, 10s + 1100ns);
  sim.unmap(const_cast<std::uint32_t*>(config), zel_driver::CONFIG_BAR_SIZE);
  sim.close(fd);
}

TEST(SimTrace, WritesOneJsonObjectPerCall) {
  SimDevice sim(SimConfig{.trace = true});
  const int fd = sim.open("/dev/zel0", O_RDWR);
  auto* config = static_cast<volatile std::uint32_t*>(sim.map(fd, zel_driver::CONFIG_BAR_SIZE));
  sim.store(config + 0x800, 0x402);
  sim.load(config + 0x800);
  sim.ioctl(fd, zel_driver::IOCTL_SET_ID, 0);
  sim.unmap(const_cast<std::uint32_t*>(config), zel_driver::CONFIG_BAR_SIZE);
  sim.close(fd);

  std::ostringstream out;
  sim.trace().write_json_lines(out);
  EXPECT_EQ(out.str(),
            "{\"t_ns\":2000,\"op\":\"open\",\"path\":\"/dev/zel0\",\"result\":1000}\n"
            "{\"t_ns\":4000,\"op\":\"map\",\"value\":524288,\"result\":0}\n"
            "{\"t_ns\":4100,\"op\":\"store\",\"offset\":8192,\"value\":1026}\n"
            "{\"t_ns\":5100,\"op\":\"load\",\"offset\":8192,\"value\":1026}\n"
            "{\"t_ns\":7100,\"op\":\"ioctl\",\"request\":3221810446,\"value\":0,\"result\":0}\n"
            "{\"t_ns\":9100,\"op\":\"unmap\",\"value\":524288,\"result\":0}\n"
            "{\"t_ns\":11100,\"op\":\"close\",\"value\":1000,\"result\":0}\n");
}

}  // namespace
}  // namespace zel_sim
