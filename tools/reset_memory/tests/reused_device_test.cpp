// The tool's run on a simulated device powered up again after other runs is the run on a new
// device: the same output, trace and accounting. Fuzzing runs one input after another on one
// device this way.

#include <fcntl.h>
#include <sys/mman.h>

#include <gtest/gtest.h>

#include "tool_fixture.hpp"
#include "zel_sim/sim_device.hpp"

namespace reset_memory {
namespace {

using testing::run_tool;
using testing::ToolFiles;
using testing::ToolRun;
using zel_sim::SimConfig;
using zel_sim::SimDevice;

TEST(ReusedSimDevice, RunsTheToolAsANewDeviceDoes) {
  ToolFiles files;
  SimDevice fresh(SimConfig{.trace = true});
  const ToolRun expected = run_tool(files.arguments(), fresh);
  ASSERT_EQ(expected.status, 0) << expected.err;

  SimDevice reused(SimConfig{.trace = true});
  // A run that loads the application and fails its check, then what a faulty stack could
  // leave behind: a descriptor open, host memory mapped, a refusal.
  reused.faults().tile_words_surviving_reset.push_back({735, 0x80000});
  EXPECT_EQ(run_tool(files.arguments(), reused).status, 101);
  static_cast<void>(reused.open("/dev/zel0", O_RDWR | O_CLOEXEC));
  ASSERT_NE(reused.map_anonymous(4096), MAP_FAILED);
  reused.expect_refusal("flags 0x0");
  static_cast<void>(reused.open("/dev/zel0", O_RDONLY));
  reused.power_up();

  const ToolRun again = run_tool(files.arguments(), reused);
  EXPECT_EQ(again.status, expected.status);
  EXPECT_EQ(again.out, expected.out);
  EXPECT_EQ(again.err, expected.err);
  EXPECT_EQ(reused.trace().records(), fresh.trace().records());
  EXPECT_EQ(reused.now(), fresh.now());
  EXPECT_EQ(reused.fault_firings(), fresh.fault_firings());
  EXPECT_TRUE(reused.refusals().empty());
  EXPECT_EQ(reused.bring_up().requests(), fresh.bring_up().requests());
  EXPECT_EQ(reused.open_descriptors(), 0u);
  EXPECT_EQ(reused.live_mappings(), 0u);
  EXPECT_EQ(reused.live_host_buffers(), 0u);
  EXPECT_EQ(reused.tile_memory().distinct_pages(), fresh.tile_memory().distinct_pages());
}

}  // namespace
}  // namespace reset_memory
