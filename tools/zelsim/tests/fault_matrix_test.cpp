// Every fault switch of the simulated device, one whole run of the tool each: the exact way
// the run ends, and that nothing of the device is left held.
#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tool_fixture.hpp"
#include "zel_driver/exchange_buffer.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/registers.hpp"
#include "zel_sim/sim_device.hpp"
#include "zelsim/fault_catalog.hpp"

namespace zelsim {
namespace {

using reset_memory::testing::run_tool;
using reset_memory::testing::ToolFiles;
using zel_sim::TraceOp;

constexpr const char* PASS = "poison/reset/readback PASS\n";

struct Row {
  const char* fault;  // as given to --fault
  int status;
  const char* err;  // the whole of standard error
  bool reset_line;  // "memory reset: ..." on standard output
};

const Row MATRIX[] = {
    {"device-absent", 1,
     "Error: Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, message: "
     "\"No such file or directory\" } }\n",
     false},
    {"map-fails", 1,
     "Error: Io { operation: \"map configuration BAR\", source: Os { code: 12, kind: OutOfMemory, "
     "message: \"Cannot allocate memory\" } }\n",
     false},
    {"transport-map-fails", 1,
     "Error: Io { operation: \"allocate pinned host buffer\", source: Os { code: 12, kind: "
     "OutOfMemory, message: \"Cannot allocate memory\" } }\n",
     false},
    {"ioctl-fails=attach", 1,
     "Error: Io { operation: \"attach ZEL\", source: Os { code: 5, kind: Uncategorized, message: "
     "\"Input/output error\" } }\n",
     false},
    {"ioctl-fails=set-id:1", 1,
     "Error: Io { operation: \"set ZEL ID\", source: Os { code: 1, kind: PermissionDenied, "
     "message: \"Operation not permitted\" } }\n",
     false},
    {"ioctl-fails=stop-monitoring", 1,
     "Error: Io { operation: \"stop monitoring\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=mailbox:110", 1,
     "Error: Io { operation: \"ICU mailbox transaction\", source: Os { code: 110, kind: TimedOut, "
     "message: \"Connection timed out\" } }\n",
     false},
    {"ioctl-fails=start-monitoring", 1,
     "Error: Io { operation: \"start monitoring\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=accumulate-errors", 1,
     "Error: Io { operation: \"accumulate errors\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=notify-reset", 1,
     "Error: Io { operation: \"notify reset\", source: Os { code: 5, kind: Uncategorized, "
     "message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=set-secondary-id", 1,
     "Error: Io { operation: \"set secondary ZEL ID\", source: Os { code: 5, kind: "
     "Uncategorized, message: \"Input/output error\" } }\n",
     false},
    {"ioctl-fails=attach-buffer:16", 1,
     "Error: Io { operation: \"attach host buffer\", source: Os { code: 16, kind: ResourceBusy, "
     "message: \"Device or resource busy\" } }\n",
     false},
    // A refused detach is not reported: the load had already succeeded.
    {"ioctl-fails=detach-buffer", 0, "", true},
    {"mailbox-answer", 1, "Error: Invalid(\"unexpected ICU reset response\")\n", false},
    {"mailbox-untouched", 1, "Error: Invalid(\"unexpected ICU reset response\")\n", false},
    {"sync-register-stuck", 1,
     "Error: Invalid(\"HSP register 0x302c did not clear: observed 1\")\n", false},
    {"sync-register-stuck=0x3030:2", 1,
     "Error: Invalid(\"HSP register 0x3030 did not clear: observed 2\")\n", false},
    {"marks-kept-from=2", 1,
     "Error: Timeout(\"bootloader batch 1: device timeout: HSP register 0x302c: expected 0, "
     "observed 1\")\n",
     false},
    {"batch-unacknowledged=3", 1,
     "Error: Timeout(\"bootloader batch 3: device timeout: HSP register 0x302c: expected 0, "
     "observed 1\")\n",
     false},
    {"sentinel-unacknowledged", 1,
     "Error: Timeout(\"execute sentinel: device timeout: HSP register 0x302c: expected 0, "
     "observed 1\")\n",
     false},
    {"final-mark-unacknowledged", 1,
     "Error: Timeout(\"application initial sync: device timeout: HSP register 0x302c: expected "
     "0, observed 23\")\n",
     false},
    {"autoloader-stuck", 1, "Error: Timeout(\"hardware autoloader\")\n", false},
    {"tdi-fails", 1, "Error: Invalid(\"TDI instruction failed with status 0x4\")\n", false},
    {"tdi-stuck", 1, "Error: Timeout(\"TDI instruction\")\n", false},
    // Slow instructions and contexts that would not stop do not matter to an inactive worker.
    {"tdi-slow", 0, "", true},
    {"contexts-never-stop", 0, "", true},
    {"context-state", 1, "Error: Timeout(\"stopping tile context\")\n", false},
    {"poison-does-not-stick", 101,
     "poison check failed: tile 0 address 0x4c000 did not hold the poison value after it was "
     "written\nassertion `left == right` failed\n  left: [2113961473]\n right: [2113961472]\n",
     false},
    {"word-survives-reset", 101,
     "readback check failed: 1 of 25 poisoned words not zero after the reset: tile 735 address "
     "0x80000 reads 0x7e007e00\nassertion `left == right` failed\n  left: 1\n right: 0\n",
     true},
};

// Whether the load put the exchange blocks into their transfer state at some point.
bool exchange_blocks_changed(const zel_sim::SimDevice& sim) {
  const std::uint32_t transfer = zel_driver::xb::control(zel_driver::xb::TRANSFER_REQUEST_ID);
  return std::ranges::any_of(sim.trace().records(), [&](const zel_sim::TraceRecord& record) {
    return record.op == TraceOp::Store && record.value == transfer &&
           record.offset == zel_driver::xb::address(0);
  });
}

const FaultSwitch& switch_named(std::string_view fault) {
  const std::string_view name = fault.substr(0, fault.find('='));
  return *std::ranges::find(fault_catalog(), name, &FaultSwitch::name);
}

TEST(FaultMatrix, EveryFaultEndsTheRunAsExpectedAndLeavesNothingHeld) {
  ToolFiles files(256);  // four loader batches, so a later batch can be the one that hangs
  for (const Row& row : MATRIX) {
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
  for (const Row& row : MATRIX) {
    const std::string_view fault = row.fault;
    covered.insert(fault.substr(0, fault.find('=')));
  }
  for (const FaultSwitch& fault : fault_catalog()) {
    EXPECT_TRUE(covered.contains(fault.name)) << fault.name << " has no row in the matrix";
  }
}

}  // namespace
}  // namespace zelsim
