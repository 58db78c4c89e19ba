#include "zel_sim/sim_device.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <sstream>
#include <vector>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "bare_host.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"
#include "zel_sim/protocol/registers.hpp"
#include "zel_sim/sim_power_up.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;
using testing::BareHost;

TEST(SimKernel, AccountsDescriptorsAndMappings) {
  SimDevice sim;
  const int fd = sim.open("/dev/zel0", O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(sim.open_descriptors(), 1u);
  void* config = sim.map(fd, kernel::CONFIG_SPACE_BYTES);
  ASSERT_NE(config, MAP_FAILED);
  EXPECT_EQ(sim.live_mappings(), 1u);

  EXPECT_EQ(sim.map(fd, 4096), MAP_FAILED);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(sim.unmap(config, 4096), -1);
  EXPECT_EQ(sim.unmap(config, kernel::CONFIG_SPACE_BYTES), 0);
  EXPECT_EQ(sim.unmap(config, kernel::CONFIG_SPACE_BYTES), -1);  // not twice
  EXPECT_EQ(sim.live_mappings(), 0u);
  EXPECT_EQ(sim.close(fd), 0);
  EXPECT_EQ(sim.close(fd), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(sim.open_descriptors(), 0u);
  EXPECT_EQ(
      sim.take_refusals(),
      (std::vector<std::string>{
          "kernel: map of 0x1000 bytes, expected the configuration space's 0x80000",
          "kernel: unmap of 0x1000 bytes not mapped", "kernel: unmap of 0x80000 bytes not mapped",
          "kernel: close of descriptor 1000, not open"}));

  void* memory = sim.map_anonymous(8192);
  ASSERT_NE(memory, MAP_FAILED);
  EXPECT_EQ(sim.live_host_buffers(), 1u);
  EXPECT_EQ(sim.unmap(memory, 8192), 0);
  EXPECT_EQ(sim.live_host_buffers(), 0u);
}

// Host memory is all zero and writable whether it comes populated, as the host's system call
// makes it, or lazily; either way no memory at all is refused as the system call refuses it.
TEST(SimKernel, HostMemoryIsZeroAndPopulatedUnlessLazy) {
  constexpr std::size_t BYTES = 6u << 20;
  for (const bool lazy : {false, true}) {
    SCOPED_TRACE(lazy ? "lazy" : "populated");
    SimDevice sim({.lazy_host_memory = lazy});
    errno = 0;
    EXPECT_EQ(sim.map_anonymous(0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    auto* memory = static_cast<unsigned char*>(sim.map_anonymous(BYTES));
    ASSERT_NE(memory, MAP_FAILED);
    std::vector<unsigned char> resident(BYTES / 4096);
    ASSERT_EQ(::mincore(memory, BYTES, resident.data()), 0);
    if (!lazy) {
      EXPECT_EQ(std::ranges::count(resident, 0), 0) << "pages not populated";
    }
    EXPECT_EQ(std::count(memory, memory + BYTES, 0), static_cast<std::ptrdiff_t>(BYTES));
    memory[BYTES - 1] = 1;
    EXPECT_EQ(sim.unmap(memory, BYTES), 0);
    EXPECT_EQ(sim.live_host_buffers(), 0u);
    EXPECT_TRUE(sim.refusals().empty());
  }
}

// Every departure from the kernel's interface is refused with the errno the call fails with.
TEST(SimKernel, RefusesWhatItsInterfaceDoesNotAllow) {
  struct Case {
    const char* refusal;
    int error;
    // Issues the call from an opened (not yet attached) descriptor; its result, errno or 0.
    std::function<int(SimDevice&, int fd)> call;
  };
  const auto ioctl = [](unsigned long request, unsigned long argument) {
    return
        [=](SimDevice& sim, int fd) { return sim.ioctl(fd, request, argument) == 0 ? 0 : errno; };
  };
  const auto attached_then = [](unsigned long request, unsigned long argument) {
    return [=](SimDevice& sim, int fd) {
      sim.ioctl(fd, kernel::ATTACH, 0);
      return sim.ioctl(fd, request, argument) == 0 ? 0 : errno;
    };
  };
  const Case cases[] = {
      {"kernel: open with flags 0x2, expected 0x80002 (read/write, close on exec)", EINVAL,
       [](SimDevice& sim, int) { return sim.open("/dev/zel0", O_RDWR) >= 0 ? 0 : errno; }},
      {"kernel: attach with argument 0x1, expected 0", EINVAL, ioctl(kernel::ATTACH, 1)},
      {"kernel: attach of a handle already attached", EBUSY, attached_then(kernel::ATTACH, 0)},
      {"kernel: set-id before attach", EPERM, ioctl(kernel::SET_ID, 0)},
      {"kernel: set-id with argument 0x2, expected 0", EINVAL, attached_then(kernel::SET_ID, 2)},
      {"kernel: stop-monitoring on a handle not attached with its ID set", EPERM,
       attached_then(kernel::STOP_MONITORING, 0)},
      {"kernel: unknown request 0x4004ed2f", ENOTTY, attached_then(0x4004ed2f, 0)},
      {"kernel: attach on descriptor 1001, not open", EBADF,
       [](SimDevice& sim, int fd) {
         return sim.ioctl(fd + 1, kernel::ATTACH, 0) == 0 ? 0 : errno;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    SimDevice sim;
    const int fd = sim.open("/dev/zel0", kernel::OPEN_FLAGS);
    EXPECT_EQ(c.call(sim, fd), c.error);
    EXPECT_EQ(sim.take_refusals(), std::vector<std::string>{c.refusal});
  }

  SimDevice sim;
  const int fd = sim.open("/dev/zel0", kernel::OPEN_FLAGS);
  EXPECT_EQ(sim.ioctl(fd, kernel::ATTACH, 0), 0);
  EXPECT_EQ(sim.ioctl(fd, kernel::SET_ID, 0), 0);
  EXPECT_EQ(sim.ioctl(fd, kernel::SET_ID, 0), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(sim.take_refusals(),
            std::vector<std::string>{"kernel: set-id of a handle whose ID is set"});
  // Each open is a handle of its own.
  const int other = sim.open("/dev/zel0", kernel::OPEN_FLAGS);
  EXPECT_EQ(sim.ioctl(other, kernel::ATTACH, 0), 0);
}

TEST(SimKernel, NodePathAndInjectedFailures) {
  SimDevice absent(SimConfig{.node_path = std::nullopt});
  EXPECT_EQ(absent.open("/dev/zel0", kernel::OPEN_FLAGS), -1);
  EXPECT_EQ(errno, ENOENT);

  SimDevice elsewhere(SimConfig{.node_path = "/dev/zel7"});
  EXPECT_EQ(elsewhere.open("/dev/zel0", kernel::OPEN_FLAGS), -1);
  const int fd = elsewhere.open("/dev/zel7", kernel::OPEN_FLAGS);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(elsewhere.ioctl(fd, kernel::ATTACH, 0), 0);

  elsewhere.faults().ioctl_failures.push_back({kernel::SET_ID, EAGAIN});
  EXPECT_EQ(elsewhere.ioctl(fd, kernel::SET_ID, 0), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_FALSE(elsewhere.id_set());
  EXPECT_EQ(elsewhere.fault_firings(), FaultFirings{.ioctl_failures = 1});

  elsewhere.faults().host_buffer_map_error = ENOMEM;
  EXPECT_EQ(elsewhere.map_anonymous(4096), MAP_FAILED);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(elsewhere.fault_firings().host_buffer_map_error, 1u);
  EXPECT_EQ(elsewhere.live_host_buffers(), 0u);
}

TEST(SimClock, AdvancesWithAccessesAndSleepsOnly) {
  SimDevice sim(SimConfig{.latency = {.load = 1000ns, .store = 100ns, .syscall = 2000ns}});
  BareHost host(sim);
  const auto start = sim.now();
  EXPECT_EQ(start, 8000ns);  // open, map and two requests
  host.write(4, 5);
  EXPECT_EQ(host.read(4), 5u);
  EXPECT_EQ(sim.now() - start, 1100ns);
  sim.sleep_for(10s);
  EXPECT_EQ(sim.now() - start, 10s + 1100ns);
}

TEST(SimTrace, WritesOneJsonObjectPerCall) {
  SimDevice sim(SimConfig{.trace = true});
  {
    BareHost host(sim);
    host.write(0x2000, 0x402);
    host.read(0x2000);
    EXPECT_NE(sim.map_anonymous(4096), MAP_FAILED);
  }
  std::ostringstream out;
  sim.trace().write_json_lines(out);
  EXPECT_EQ(out.str(),
            "{\"t_ns\":2000,\"op\":\"open\",\"path\":\"/dev/zel0\",\"result\":1000}\n"
            "{\"t_ns\":4000,\"op\":\"map\",\"value\":524288,\"result\":0}\n"
            "{\"t_ns\":6000,\"op\":\"ioctl\",\"request\":3221810442,\"value\":0,\"result\":0}\n"
            "{\"t_ns\":8000,\"op\":\"ioctl\",\"request\":3221810446,\"value\":0,\"result\":0}\n"
            "{\"t_ns\":8100,\"op\":\"store\",\"offset\":8192,\"value\":1026}\n"
            "{\"t_ns\":9100,\"op\":\"load\",\"offset\":8192,\"value\":1026}\n"
            "{\"t_ns\":11100,\"op\":\"map-anonymous\",\"value\":4096,\"result\":0}\n"
            "{\"t_ns\":13100,\"op\":\"unmap\",\"value\":524288,\"result\":0}\n"
            "{\"t_ns\":15100,\"op\":\"close\",\"value\":1000,\"result\":0}\n");
}

// What the device refused and nobody expected or took fails the test, when the device goes.
void open_without_close_on_exec() {
  SimDevice sim;
  sim.open("/dev/zel0", O_RDWR);
}
void expect_a_refusal_that_never_comes() {
  SimDevice sim;
  sim.expect_refusal("flags");
}

TEST(SimRefusals, UnclaimedOnesFailTheTestTheDeviceRanIn) {
  EXPECT_NONFATAL_FAILURE(open_without_close_on_exec(),
                          "the simulated device refused: kernel: open with flags 0x2");
  EXPECT_NONFATAL_FAILURE(expect_a_refusal_that_never_comes(),
                          "the simulated device refused: expected a refusal naming \"flags\"");

  SimDevice expected;
  expected.expect_refusal("flags 0x2");
  expected.open("/dev/zel0", O_RDWR);
  SimDevice taken;
  taken.open("/dev/zel0", O_RDWR);
  EXPECT_EQ(taken.take_refusals().size(), 1u);
}

// A short session that reaches the kernel, the bring-up requests, the registers, the
// autoloader and tile memory, and the tile debug windows.
void session(SimDevice& sim) {
  BareHost host(sim);
  EXPECT_EQ(host.request(kernel::STOP_MONITORING, 0), 0);
  host.write(reg::CCSR, 0x402);
  host.initialize_tiles(3, std::vector<std::byte>(1024, std::byte{0x5a}));
  host.write_tile(2, tdi::RUN_BREAK, 1);
  host.read_tile(2, tdi::CONTEXT_STATUS);
}

// What a test can see of a device: accounting, clock, trace, firings, refusals, bring-up,
// registers and tile memory.
void expect_alike(SimDevice& device, SimDevice& fresh) {
  EXPECT_EQ(device.open_descriptors(), fresh.open_descriptors());
  EXPECT_EQ(device.live_mappings(), fresh.live_mappings());
  EXPECT_EQ(device.live_host_buffers(), fresh.live_host_buffers());
  EXPECT_EQ(device.attachments(), fresh.attachments());
  EXPECT_EQ(device.now(), fresh.now());
  EXPECT_EQ(device.trace().records(), fresh.trace().records());
  EXPECT_EQ(device.fault_firings(), fresh.fault_firings());
  EXPECT_EQ(device.refusals(), fresh.refusals());
  EXPECT_EQ(device.bring_up().requests(), fresh.bring_up().requests());
  for (const std::uint32_t offset : {reg::CCSR, xb::control_register(0), reg::AUTOLOADER_CONTROL,
                                     reg::TILE_DEBUG_BASE + reg::TILE_DEBUG_STRIDE * 2}) {
    EXPECT_EQ(device.peek(offset), fresh.peek(offset)) << offset;
  }
  EXPECT_EQ(device.tile_memory().distinct_pages(), fresh.tile_memory().distinct_pages());
  EXPECT_EQ(device.tile_memory().read_bytes(2, TILE_MEMORY_START, 2048),
            fresh.tile_memory().read_bytes(2, TILE_MEMORY_START, 2048));
}

TEST(SimPowerUp, LeavesTheDeviceAsANewOne) {
  SimDevice device(SimConfig{.trace = true});
  device.faults().tdi_busy_status_reads = 3;
  device.faults().host_buffer_map_error = ENOMEM;
  session(device);
  device.tile_memory().write_word(5, 0x4c100, 0xdead);
  device.tiles().set_context_state(1, 0, tdi::RUNNING);
  // What the stack may leave: a descriptor open, host memory mapped, a refusal.
  device.faults().host_buffer_map_error.reset();
  ASSERT_NE(device.map_anonymous(4096), MAP_FAILED);
  device.open("/dev/zel0", kernel::OPEN_FLAGS);
  device.expect_refusal("flags 0x2");
  device.open("/dev/zel0", O_RDWR);
  device.power_up();

  SimDevice fresh(SimConfig{.trace = true});
  expect_alike(device, fresh);
  EXPECT_EQ(device.peek(reg::CCSR), CCSR_POWER_UP);
  EXPECT_EQ(device.tile_memory().distinct_pages(), 0u);
  session(device);
  session(fresh);
  expect_alike(device, fresh);
}

void refusal_left_at_a_power_up() {
  SimDevice sim;
  sim.open("/dev/zel0", O_RDWR);
  sim.power_up();
  sim.open("/dev/zel0", kernel::OPEN_FLAGS);  // the new device's own: no refusal
}

TEST(SimPowerUp, HandsTheUnclaimedRefusalsOverAsADeviceThatGoesAway) {
  EXPECT_NONFATAL_FAILURE(refusal_left_at_a_power_up(),
                          "the simulated device refused: kernel: open with flags 0x2");
}

}  // namespace
}  // namespace zel_sim
