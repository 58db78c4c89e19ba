// The tool's run on a simulated device powered up again after other runs is the run on a new
// device: the same output, trace and accounting. Fuzzing runs one input after another on one
// device this way.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

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
using zel_sim::TraceRecord;

// The records without the arguments of ioctls that pass a structure: those are its address,
// wherever the stack happened to be (AddressSanitizer's check for use after return moves
// frames off the stack), not a part of the run.
std::vector<TraceRecord> without_addresses(std::vector<TraceRecord> records) {
  for (TraceRecord& record : records) {
    if (record.op == zel_sim::TraceOp::Ioctl && _IOC_DIR(*record.request) != _IOC_NONE) {
      record.value.reset();
    }
  }
  return records;
}

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
  EXPECT_EQ(without_addresses(reused.trace().records()),
            without_addresses(fresh.trace().records()));
  EXPECT_EQ(reused.now(), fresh.now());
  EXPECT_EQ(reused.fault_firings(), fresh.fault_firings());
  EXPECT_TRUE(reused.refusals().empty());
  EXPECT_EQ(reused.bring_up().requests(), fresh.bring_up().requests());
  EXPECT_EQ(reused.open_descriptors(), 0u);
  EXPECT_EQ(reused.live_mappings(), 0u);
  EXPECT_EQ(reused.live_host_buffers(), 0u);
  EXPECT_EQ(reused.tile_memory().distinct_pages(), fresh.tile_memory().distinct_pages());
}

// The device fuzzing runs on ends every run as the default device does, in the same lines
// but the reset's measured time: a pass, a failed check, and waits the device never answers.
TEST(ReusedSimDevice, ADeviceForManyRunsEndsRunsAsTheDefaultOneDoes) {
  const auto without_reset_time = [](std::string out) {
    const auto line = out.find("memory reset: ");
    if (line != std::string::npos) out.erase(line, out.find('\n', line) + 1 - line);
    return out;
  };
  const std::vector<std::pair<const char*, std::function<void(zel_sim::Faults&)>>> cases = {
      {"pass", [](zel_sim::Faults&) {}},
      {"word survives reset",
       [](zel_sim::Faults& f) {
         f.tile_words_surviving_reset.push_back({735, 0x80000});
       }},
      {"batch unacknowledged", [](zel_sim::Faults& f) { f.bootloader_batch_unacknowledged = 3; }},
      {"sentinel unacknowledged",
       [](zel_sim::Faults& f) { f.bootloader_sentinel_unacknowledged = true; }},
      {"autoloader busy", [](zel_sim::Faults& f) { f.autoloader_busy_forever = true; }},
      {"contexts never stop", [](zel_sim::Faults& f) { f.contexts_never_stop = true; }},
      {"TDI busy 3 reads", [](zel_sim::Faults& f) { f.tdi_busy_status_reads = 3; }},
  };
  ToolFiles files;
  for (const auto& [name, inject] : cases) {
    SCOPED_TRACE(name);
    SimDevice plain, quick(SimConfig::for_many_runs());
    inject(plain.faults());
    inject(quick.faults());
    const ToolRun expected = run_tool(files.arguments(), plain);
    const ToolRun got = run_tool(files.arguments(), quick);
    EXPECT_EQ(got.status, expected.status);
    EXPECT_EQ(got.err, expected.err);
    EXPECT_EQ(without_reset_time(got.out), without_reset_time(expected.out));
    EXPECT_EQ(quick.refusals(), plain.refusals());
    EXPECT_EQ(quick.live_host_buffers(), 0u);
  }
}

}  // namespace
}  // namespace reset_memory
