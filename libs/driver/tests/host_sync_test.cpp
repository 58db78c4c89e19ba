#include <chrono>

#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_driver/registers.hpp"
#include "zel_log/capturing_sink.hpp"

namespace zel_driver {
namespace {

using namespace std::chrono_literals;

// A poll that counts its calls and succeeds.
struct CountingPoll {
  int calls = 0;
  Device::Poll poll() {
    return [this](const Device&) -> Status {
      ++calls;
      return {};
    };
  }
};

TEST(WriteSyncMark, ChecksMarkThenRegisterThenWritesAndReadsBack) {
  struct Case {
    std::uint32_t reg;
    std::uint32_t mark;
    std::string error;  // empty: success
    std::vector<std::string> accesses;
  };
  const Case cases[] = {
      {0x302c, 0xffff, "", {"S 0x302c=0xffff", "L 0x302c"}},
      {0x3030, 5, "", {"S 0x3030=0x5", "L 0x3030"}},
      {0x302c, 0x10000, "Invalid(\"HSP mark out of range\")", {}},
      {0x3034, 0x10000, "Invalid(\"HSP mark out of range\")", {}},
      {0x3034, 1, "Invalid(\"0x3034 is not an HSP synchronization control register\")", {}},
      {0x2c, 1, "Invalid(\"0x2c is not an HSP synchronization control register\")", {}},
  };
  for (const Case& c : cases) {
    OpenedSim opened;
    auto written = opened.device.write_sync_mark(c.reg, c.mark);
    EXPECT_EQ(written ? "" : written.error().debug(), c.error) << c.reg << " " << c.mark;
    EXPECT_EQ(opened.accesses(), c.accesses) << c.reg << " " << c.mark;
  }
}

TEST(SetMark, WritesTheFirstRegister) {
  OpenedSim opened;
  ASSERT_TRUE(opened.device.set_mark(23));
  EXPECT_EQ(opened.accesses(), (std::vector<std::string>{"S 0x302c=0x17", "L 0x302c"}));
  EXPECT_EQ(opened.device.set_mark(0x10000).error().debug(), "Invalid(\"HSP mark out of range\")");
  EXPECT_EQ(opened.accesses().size(), 2u);
}

TEST(WaitMark, AcknowledgedMarkEndsTheWaitAndLogs) {
  OpenedSim opened;
  zel_log::CapturingSink sink;
  ASSERT_TRUE(opened.device.set_mark(1));
  ASSERT_TRUE(opened.device.wait_mark(HSP_SYNC_CONTROL_0, 0, 1500us));

  ASSERT_EQ(sink.events().size(), 2u);
  const auto& waiting = sink.events()[0];
  EXPECT_EQ(waiting.message, "waiting for HSP mark");
  EXPECT_EQ(waiting.level, zel_log::Level::Trace);
  EXPECT_EQ(waiting.text("register"), "0x302c");
  EXPECT_EQ(waiting.number("expected"), 0u);
  EXPECT_EQ(waiting.number("timeout_ms"), 1u);  // the fraction is dropped
  const auto& observed = sink.events()[1];
  EXPECT_EQ(observed.message, "observed HSP mark");
  EXPECT_EQ(observed.text("register"), "0x302c");
  EXPECT_EQ(observed.number("observed"), 0u);
}

TEST(WaitMark, TenSecondTimeoutRunsOnVirtualTime) {
  OpenedSim opened;
  opened.sim.faults().hsp_marks_kept_from = 1;
  ASSERT_TRUE(opened.device.set_mark(1));
  zel_log::CapturingSink sink;
  const auto real_start = std::chrono::steady_clock::now();
  const auto start = opened.sim.now();
  CountingPoll counting;
  auto waited = opened.device.wait_mark_with(HSP_SYNC_CONTROL_0, 0, 10s, counting.poll());
  const auto elapsed = opened.sim.now() - start;

  ASSERT_FALSE(waited);
  EXPECT_EQ(waited.error().debug(), "Timeout(\"HSP register 0x302c: expected 0, observed 1\")");
  EXPECT_GE(elapsed, 10s);
  EXPECT_LT(elapsed, 10s + 200us);  // no sleep after the last read
  // One poll per failed read; reads about every 100 us plus the read itself.
  const auto reads = opened.sim.trace().count(zel_sim::TraceOp::Load, HSP_SYNC_CONTROL_0) - 1;
  EXPECT_EQ(counting.calls, static_cast<int>(reads));
  EXPECT_NEAR(static_cast<double>(reads), 10s / 101us, 2);
  // Nothing slept for real: a real 10 s wait could not finish this soon on any machine.
  EXPECT_LT(std::chrono::steady_clock::now() - real_start, 5s);
  EXPECT_TRUE(sink.with_message("observed HSP mark").empty());
}

TEST(WaitMark, ZeroTimeoutReadsOnceAndPollsOnlyOnAMiss) {
  for (const std::uint32_t held : {0u, 4u}) {
    OpenedSim opened;
    opened.sim.poke(HSP_SYNC_CONTROL_1, held);
    CountingPoll counting;
    const auto start = opened.sim.now();
    auto waited = opened.device.wait_mark_with(HSP_SYNC_CONTROL_1, 0, 0s, counting.poll());
    EXPECT_EQ(waited.has_value(), held == 0);
    EXPECT_EQ(opened.accesses(), std::vector<std::string>{"L 0x3030"});
    EXPECT_EQ(counting.calls, held == 0 ? 0 : 1);
    EXPECT_EQ(opened.sim.now() - start, 1us);  // one read, no sleep
  }
}

TEST(WaitMark, MaskedCompareAndUnreachableExpectation) {
  OpenedSim opened;
  opened.sim.poke(HSP_SYNC_CONTROL_0, 0xabcd0000);
  zel_log::CapturingSink sink;
  ASSERT_TRUE(opened.device.wait_mark(HSP_SYNC_CONTROL_0, 0, 0s));
  EXPECT_EQ(sink.with_message("observed HSP mark").at(0).number("observed"), 0u);

  auto never = opened.device.wait_mark(HSP_SYNC_CONTROL_0, 0x10000, 1ms);
  ASSERT_FALSE(never);
  EXPECT_EQ(never.error().debug(), "Timeout(\"HSP register 0x302c: expected 65536, observed 0\")");

  // Any register can be waited on, not only the two control registers.
  opened.sim.poke(0x3034, 7);
  EXPECT_TRUE(opened.device.wait_mark(0x3034, 7, 0s));
}

TEST(WaitMark, ReadAndPollFailuresEndTheWaitUnchanged) {
  OpenedSim opened;
  CountingPoll counting;
  // A read fails only by the offset check; past the deadline it is still that failure.
  auto unreadable = opened.device.wait_mark_with(0x302e, 0, -1s, counting.poll());
  EXPECT_EQ(unreadable.error().debug(), "Invalid(\"configuration offset 0x302e\")");
  EXPECT_EQ(counting.calls, 0);

  opened.sim.poke(HSP_SYNC_CONTROL_0, 1);
  const Device::Poll failing = [](const Device&) -> Status {
    return std::unexpected(DriverError::invalid("poll gave up"));
  };
  auto abandoned = opened.device.wait_mark_poll(HSP_SYNC_CONTROL_0, 0, 10s, 0s, failing);
  EXPECT_EQ(abandoned.error().debug(), "Invalid(\"poll gave up\")");
}

TEST(ClearHostSyncMarks, WritesZeroAndChecksEachRegisterInOrder) {
  struct Case {
    const char* name;
    std::optional<zel_sim::StuckRegister> stuck;
    std::string error;  // empty: success
    std::vector<std::string> accesses;
  };
  const std::vector<std::string> both = {"S 0x302c=0x0", "L 0x302c", "S 0x3030=0x0", "L 0x3030"};
  const Case cases[] = {
      {"both clear", std::nullopt, "", both},
      {"high bits only", zel_sim::StuckRegister{0x302c, 0x10000}, "", both},
      {"first stuck",
       zel_sim::StuckRegister{0x302c, 5},
       "Invalid(\"HSP register 0x302c did not clear: observed 5\")",
       {"S 0x302c=0x0", "L 0x302c"}},
      {"second stuck", zel_sim::StuckRegister{0x3030, 0x12345},
       "Invalid(\"HSP register 0x3030 did not clear: observed 9029\")", both},
  };
  for (const Case& c : cases) {
    OpenedSim opened;
    opened.sim.faults().hsp_register_not_clearing = c.stuck;
    opened.sim.poke(HSP_SYNC_CONTROL_1, 9);
    auto cleared = opened.device.clear_host_sync_marks();
    EXPECT_EQ(cleared ? "" : cleared.error().debug(), c.error) << c.name;
    EXPECT_EQ(opened.accesses(), c.accesses) << c.name;
    if (c.accesses.size() == 2) {
      EXPECT_EQ(opened.sim.peek(HSP_SYNC_CONTROL_1), 9u) << c.name;
    }
  }
}

}  // namespace
}  // namespace zel_driver
