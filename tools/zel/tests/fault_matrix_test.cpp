// Every row of the fault outcome table, one whole run of the tool each: the exact way the run
// ends, and that nothing of the device is left held.
#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tool_fixture.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_driver/exchange_buffer.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/registers.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel {
namespace {

using reset_memory::testing::run_tool;
using reset_memory::testing::ToolFiles;
using zel_sim::TraceOp;

constexpr const char* PASS = "poison/reset/readback PASS\n";

// Whether the load put the exchange blocks into their transfer state at some point.
bool exchange_blocks_changed(const zel_sim::SimDevice& sim) {
  const std::uint32_t transfer = zel_driver::xb::control(zel_driver::xb::TRANSFER_REQUEST_ID);
  return std::ranges::any_of(sim.trace().records(), [&](const zel_sim::TraceRecord& record) {
    return record.op == TraceOp::Store && record.value == transfer &&
           record.offset == zel_driver::xb::address(0);
  });
}

TEST(FaultMatrix, EveryFaultEndsTheRunAsExpectedAndLeavesNothingHeld) {
  ToolFiles files(256);  // four loader batches, so a later batch can be the one that hangs
  for (const FaultOutcome& row : fault_outcomes()) {
    SCOPED_TRACE(row.fault);
    zel_sim::SimConfig config{.trace = true};
    zel_sim::Faults faults;
    ASSERT_TRUE(apply_fault(row.fault, config, faults));
    zel_sim::SimDevice sim(config);
    sim.faults() = faults;

    const auto result = run_tool(files.arguments(), sim);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.out.starts_with("memory reset: "), row.reset_line) << result.out;
    EXPECT_EQ(result.out.ends_with(PASS), row.status == 0) << result.out;

    EXPECT_EQ(sim.open_descriptors(), 0u);
    EXPECT_EQ(sim.live_mappings(), 0u);
    EXPECT_EQ(sim.live_host_buffers(), 0u);
    if (const auto fired = switch_named(row.fault).fired) {
      EXPECT_GT(sim.fault_firings().*fired, 0u) << "the switch never took effect";
    }
    if (std::string_view(row.fault).starts_with("ioctl-fails=detach-buffer")) {
      // The kernel kept what it refused to detach; the stack did ask.
      EXPECT_EQ(std::ranges::count(sim.trace().ioctl_requests(), zel_driver::IOCTL_DETACH_BUFFER),
                1);
    } else {
      EXPECT_TRUE(sim.attachments().empty());
    }
    if (exchange_blocks_changed(sim)) {
      for (std::size_t instance = 0; instance < zel_driver::xb::INSTANCES; ++instance) {
        EXPECT_EQ(sim.peek(zel_driver::xb::address(instance)),
                  zel_driver::xb::control(static_cast<std::uint32_t>(instance / 8)))
            << "exchange block " << instance;
      }
    }
  }
}

TEST(FaultMatrix, CoversEverySwitchOfTheCatalog) {
  std::set<std::string_view> covered;
  for (const FaultOutcome& row : fault_outcomes()) {
    const std::string_view fault = row.fault;
    covered.insert(fault.substr(0, fault.find('=')));
  }
  for (const FaultSwitch& fault : fault_catalog()) {
    EXPECT_TRUE(covered.contains(fault.name)) << fault.name << " has no row in the matrix";
  }
}

}  // namespace
}  // namespace zel
