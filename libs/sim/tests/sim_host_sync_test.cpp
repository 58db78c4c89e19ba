#include <chrono>

#include <gtest/gtest.h>

#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;
using zel_driver::HSP_SYNC_CONTROL_0;
using zel_driver::HSP_SYNC_CONTROL_1;

TEST(SimHostSync, MarkReadsClearedOnceItsAcknowledgementIsDue) {
  SimDevice sim;
  auto device = zel_driver::Device::open("/dev/zel0", sim).value();
  ASSERT_TRUE(device.write_config(HSP_SYNC_CONTROL_0, 7));
  sim.sleep_for(SimHostSync::ACKNOWLEDGE_DELAY - 1ns);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), 7u);
  sim.sleep_for(1ns);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), 0u);
  EXPECT_EQ(device.read_config(HSP_SYNC_CONTROL_0), 0u);

  // Only a non-zero mark on the first register is taken.
  ASSERT_TRUE(device.write_config(HSP_SYNC_CONTROL_0, 0x10000));
  ASSERT_TRUE(device.write_config(HSP_SYNC_CONTROL_1, 5));
  sim.sleep_for(1s);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), 0x10000u);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_1), 5u);
}

TEST(SimHostSync, MarksFromTheKthOnStaySet) {
  SimDevice sim;
  sim.faults().hsp_marks_kept_from = 3;
  auto device = zel_driver::Device::open("/dev/zel0", sim).value();
  for (const std::uint32_t expected : {0u, 0u, 1u, 1u}) {
    ASSERT_TRUE(device.write_config(HSP_SYNC_CONTROL_0, 1));
    sim.sleep_for(1s);
    EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), expected);
  }
}

}  // namespace
}  // namespace zel_sim
