#include <chrono>

#include <gtest/gtest.h>

#include "bare_host.hpp"
#include "zel_sim/protocol/registers.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;
using reg::HSP_SYNC_CONTROL_0;
using reg::HSP_SYNC_CONTROL_1;
using testing::BareHost;

TEST(SimHostSync, MarkReadsClearedOnceItsAcknowledgementIsDue) {
  SimDevice sim;
  BareHost host(sim);
  host.write(HSP_SYNC_CONTROL_0, 7);
  sim.sleep_for(SimHostSync::ACKNOWLEDGE_DELAY - 1ns);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), 7u);
  sim.sleep_for(1ns);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), 0u);
  EXPECT_EQ(host.read(HSP_SYNC_CONTROL_0), 0u);

  // Only a mark on the first register is taken; a mark has 16 bits.
  host.write(HSP_SYNC_CONTROL_1, 5);
  host.write(HSP_SYNC_CONTROL_0, 0x10000);
  sim.sleep_for(1s);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), 0x10000u);
  EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_1), 5u);
  EXPECT_EQ(sim.take_refusals(),
            std::vector<std::string>{"HSP register 0x302c written 0x10000: a mark has 16 bits"});
}

TEST(SimHostSync, FaultsKeepMarksOrValues) {
  SimDevice sim;
  sim.faults().hsp_marks_kept_from = 3;
  sim.faults().hsp_register_not_clearing = StuckRegister{HSP_SYNC_CONTROL_1, 4};
  BareHost host(sim);
  for (const std::uint32_t expected : {0u, 0u, 1u, 1u}) {
    host.write(HSP_SYNC_CONTROL_0, 1);
    sim.sleep_for(1s);
    EXPECT_EQ(sim.peek(HSP_SYNC_CONTROL_0), expected);
  }
  host.write(HSP_SYNC_CONTROL_1, 0);
  EXPECT_EQ(host.read(HSP_SYNC_CONTROL_1), 4u);
  EXPECT_EQ(sim.fault_firings(),
            (FaultFirings{.hsp_marks_kept_from = 2, .hsp_register_not_clearing = 1}));
}

}  // namespace
}  // namespace zel_sim
