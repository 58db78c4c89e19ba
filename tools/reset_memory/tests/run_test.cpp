#include "reset_memory/run.hpp"

#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zel_sim/sim_device.hpp"

namespace reset_memory {
namespace {

// Runs the tool in-process; the signal mask it sets is put back afterwards.
struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

ToolRun run_tool(std::vector<std::string> arguments, zel_driver::Backend& backend) {
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  std::ostringstream out, err;
  const int status = run(arguments, backend, out, err);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return {status, out.str(), err.str()};
}

TEST(ResetMemory, NoArgumentsNeverTouchesTheDevice) {
  zel_sim::SimDevice sim(zel_sim::SimConfig{.trace = true});
  ToolRun result = run_tool({}, sim);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: \"configuration file required\"\n");
  EXPECT_TRUE(sim.trace().records().empty());
}

TEST(ResetMemory, AbsentDeviceNodeIsReportedAsNotFound) {
  zel_sim::SimDevice sim(zel_sim::SimConfig{.node_path = std::nullopt});
  ToolRun result = run_tool({"config.bin"}, sim);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Error: Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, "
            "message: \"No such file or directory\" } }\n");
}

}  // namespace
}  // namespace reset_memory
