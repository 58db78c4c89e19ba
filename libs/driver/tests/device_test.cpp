#include "zel_driver/device.hpp"

#include <cerrno>

#include <gtest/gtest.h>

#include "zel_driver/kernel_interface.hpp"
#include "zel_log/capturing_sink.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {
namespace {

using zel_sim::SimDevice;
using zel_sim::TraceOp;

TEST(DeviceOpen, OpensMapsAttachesSetsIdAndLogs) {
  SimDevice sim(zel_sim::SimConfig{.trace = true});
  zel_log::CapturingSink sink;
  {
    auto device = Device::open("/dev/zel0", sim);
    ASSERT_TRUE(device) << device.error().debug();
    EXPECT_TRUE(sim.attached());
    EXPECT_TRUE(sim.id_set());
    EXPECT_EQ(sim.open_descriptors(), 1u);
    EXPECT_EQ(sim.live_mappings(), 1u);
    EXPECT_EQ(sim.trace().ioctl_requests(),
              (std::vector<std::uint64_t>{IOCTL_ATTACH, IOCTL_SET_ID}));
  }
  EXPECT_EQ(sim.open_descriptors(), 0u);
  EXPECT_EQ(sim.live_mappings(), 0u);

  std::vector<TraceOp> ops;
  for (const auto& record : sim.trace().records()) ops.push_back(record.op);
  EXPECT_EQ(ops, (std::vector<TraceOp>{TraceOp::Open, TraceOp::Map, TraceOp::Ioctl, TraceOp::Ioctl,
                                       TraceOp::Unmap, TraceOp::Close}));
  EXPECT_EQ(sim.trace().records()[0].path, "/dev/zel0");

  ASSERT_EQ(sink.events().size(), 2u);
  EXPECT_EQ(sink.events()[0].message, "opening ZEL device");
  EXPECT_EQ(sink.events()[0].text("path"), "/dev/zel0");
  EXPECT_EQ(sink.events()[0].target, "zel_driver");
  EXPECT_EQ(sink.events()[1].message, "ZEL device attached");
  EXPECT_EQ(sink.events()[1].text("path"), "/dev/zel0");
}

TEST(DeviceOpen, EveryFailureReleasesWhatWasAcquired) {
  struct Case {
    const char* name;
    zel_sim::Faults faults;
    std::string debug;
  };
  const Case cases[] = {
      {"map fails",
       {.map_error = ENOMEM},
       "Io { operation: \"map configuration BAR\", source: Os { code: 12, kind: OutOfMemory, "
       "message: \"Cannot allocate memory\" } }"},
      {"attach fails",
       {.ioctl_failures = {{IOCTL_ATTACH, EBUSY}}},
       "Io { operation: \"attach ZEL\", source: Os { code: 16, kind: ResourceBusy, message: "
       "\"Device or resource busy\" } }"},
      {"set ID fails",
       {.ioctl_failures = {{IOCTL_SET_ID, EIO}}},
       "Io { operation: \"set ZEL ID\", source: Os { code: 5, kind: Uncategorized, message: "
       "\"Input/output error\" } }"},
      {"set ID returns 1",
       {.ioctl_failures = {{IOCTL_SET_ID, EPERM, 1}}},
       "Io { operation: \"set ZEL ID\", source: Os { code: 1, kind: PermissionDenied, message: "
       "\"Operation not permitted\" } }"},
  };
  for (const Case& c : cases) {
    SimDevice sim;
    sim.faults() = c.faults;
    auto device = Device::open("/dev/zel0", sim);
    ASSERT_FALSE(device) << c.name;
    EXPECT_EQ(device.error().debug(), c.debug) << c.name;
    EXPECT_EQ(sim.open_descriptors(), 0u) << c.name;
    EXPECT_EQ(sim.live_mappings(), 0u) << c.name;
  }
}

TEST(DeviceOpen, AbsentNodeAndNulInPath) {
  SimDevice absent(zel_sim::SimConfig{.node_path = std::nullopt, .trace = true});
  auto missing = Device::open("/dev/zel0", absent);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().debug(),
            "Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, message: "
            "\"No such file or directory\" } }");

  SimDevice sim(zel_sim::SimConfig{.trace = true});
  auto nul = Device::open(std::string_view("/dev/zel0\0x", 11), sim);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().debug(), "Invalid(\"NUL in path\")");
  EXPECT_TRUE(sim.trace().records().empty());
}

TEST(Device, MovedFromHandleReleasesNothing) {
  SimDevice sim(zel_sim::SimConfig{.trace = true});
  {
    auto opened = Device::open("/dev/zel0", sim);
    ASSERT_TRUE(opened);
    Device moved = std::move(*opened);
    Device assigned = std::move(moved);
    EXPECT_EQ(sim.live_mappings(), 1u);
  }
  EXPECT_EQ(sim.trace().count(TraceOp::Unmap), 1u);
  EXPECT_EQ(sim.trace().count(TraceOp::Close), 1u);
  EXPECT_EQ(sim.live_mappings(), 0u);
}

TEST(DeviceConfig, OffsetRuleAndSingleAccesses) {
  SimDevice sim(zel_sim::SimConfig{.trace = true});
  auto device = Device::open("/dev/zel0", sim);
  ASSERT_TRUE(device);
  sim.trace().clear();

  ASSERT_TRUE(device->write_config(0x7fffc, 0xdeadbeef));
  EXPECT_EQ(sim.peek(0x7fffc), 0xdeadbeefu);
  EXPECT_EQ(device->read_config(0x7fffc), 0xdeadbeefu);
  ASSERT_TRUE(device->write_config(0, 7));
  EXPECT_EQ(device->read_config(0), 7u);
  EXPECT_EQ(sim.trace().records().size(), 4u);  // exactly one access per call

  sim.trace().clear();
  for (std::uint32_t offset : {0x80000u, 0x2u, 0xfffffffcu, 0x7fffdu}) {
    auto read = device->read_config(offset);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().debug(),
              fmt::format("Invalid(\"configuration offset 0x{:x}\")", offset));
    EXPECT_EQ(device->write_config(offset, 1).error().debug(), read.error().debug());
  }
  EXPECT_TRUE(sim.trace().records().empty());
}

TEST(DeviceIoctl, ValueAndPointerArgumentsAndFailures) {
  SimDevice sim(zel_sim::SimConfig{.trace = true});
  auto device = Device::open("/dev/zel0", sim);
  ASSERT_TRUE(device);
  sim.trace().clear();

  MailboxArgument record{};
  sim.expect_refusal("unknown request 0xc008edff");
  auto unknown = device->ioctl_pointer(0xc008edff, &record, "probe");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().display(), "probe: Inappropriate ioctl for device (os error 25)");
  EXPECT_EQ(sim.trace().records().back().value, reinterpret_cast<std::uintptr_t>(&record));

  sim.faults().ioctl_failures.push_back({IOCTL_ATTACH, EIO, 1});
  auto positive = device->ioctl_value(IOCTL_ATTACH, 0, "attach ZEL");
  ASSERT_FALSE(positive);
  EXPECT_EQ(positive.error().display(), "attach ZEL: Input/output error (os error 5)");
}

}  // namespace
}  // namespace zel_driver
