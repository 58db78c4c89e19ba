// Replaying a recorded trace: the stack gets the recorded answers, an edited answer takes it
// down the path that answer causes, and a call that departs from the trace stops the replay.
#include "zel_driver/replay_backend.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "zel_driver/device.hpp"
#include "zel_driver/device_lock.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/tracing_backend.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {
namespace {

// Some work of the stack on a backend, and what it made of the answers, step by step.
using Work = std::function<std::string(zel_base::Backend&)>;

template <class T>
std::string outcome(const Result<T>& result) {
  if (!result) return fmt::format("{:?}", result.error());
  if constexpr (std::is_void_v<T>) {
    return "ok";
  } else if constexpr (std::is_same_v<T, std::vector<std::uint32_t>>) {
    return fmt::format("words {:x}", fmt::join(*result, " "));
  } else {
    return "ok";
  }
}

// Bring-up, a word written and read through a worker context, a buffer lent to the device
// and a mark nobody clears, waited for until the timeout.
std::string bring_up_and_wait(zel_base::Backend& backend) {
  std::string steps;
  auto lock = DeviceLock::take("/dev/zel0", backend);
  if (!lock) return "lock failed";
  auto device = Device::open("/dev/zel0", backend);
  if (!device) return fmt::format("open: {:?}", device.error());
  steps += "initialize: " + outcome(device->initialize()) + "\n";
  steps += "write: " +
           outcome(device->write_tile_word_from_inactive_context(3, 1, 0x4c100, 0x600df00d)) + "\n";
  steps +=
      "read: " + outcome(device->read_tile_words_from_inactive_context(3, 1, 0x4c100, 2)) + "\n";
  void* memory = backend.map_anonymous(8192);
  if (memory == MAP_FAILED) return steps + "no memory";
  steps +=
      "attach: " + outcome(device->attach_buffer(1, static_cast<std::byte*>(memory), 8192)) + "\n";
  device->detach_buffer(1);
  backend.unmap(memory, 8192);
  steps += "mark: " + outcome(device->set_mark(1)) + "\n";
  steps += "wait: " + outcome(device->wait_mark(0x302c, 0, std::chrono::microseconds(350))) + "\n";
  return steps;
}

struct Recorded {
  std::string steps;
  std::string trace;
};

Recorded record(const Work& work, zel_sim::Faults faults = {}) {
  zel_sim::SimDevice sim;
  sim.faults() = std::move(faults);
  sim.faults().hsp_marks_kept_from = 1;
  std::ostringstream trace;
  TracingBackend traced(sim, trace);
  Recorded recorded{work(traced), ""};
  traced.finish();
  recorded.trace = trace.str();
  return recorded;
}

struct Replayed {
  std::string steps;
  std::optional<ReplayStop> stop;
  std::string trace;  // of the replay itself
};

Replayed replay(const std::string& trace, const Work& work) {
  std::istringstream in(trace);
  auto reader = TraceReader::open(in);
  EXPECT_TRUE(reader) << reader.error().text();
  if (!reader) return {};
  ReplayBackend replaying(*reader);
  std::ostringstream retraced;
  TracingBackend traced(replaying, retraced, "{}", &replaying.recorded_clock());
  Replayed replayed{work(traced), std::nullopt, ""};
  replayed.stop = replaying.finish();
  traced.finish();
  replayed.trace = retraced.str();
  return replayed;
}

// The trace from its second line to the one before its last: the calls alone.
std::string calls_of(const std::string& trace) {
  const std::size_t first = trace.find('\n') + 1;
  const std::size_t last = trace.rfind('\n', trace.size() - 2) + 1;
  return trace.substr(first, last - first);
}

std::string replaced(std::string text, std::string_view what, std::string_view with) {
  const std::size_t at = text.find(what);
  EXPECT_NE(at, std::string::npos) << what;
  if (at != std::string::npos) text.replace(at, what.size(), with);
  return text;
}

TEST(ReplayBackend, GivesTheStackTheRecordedAnswersCallForCall) {
  const Recorded recorded = record(bring_up_and_wait);
  ASSERT_NE(recorded.steps.find("wait: Timeout"), std::string::npos) << recorded.steps;
  const Replayed replayed = replay(recorded.trace, bring_up_and_wait);
  EXPECT_EQ(replayed.steps, recorded.steps);
  EXPECT_FALSE(replayed.stop);
  // On the replay's clock, a trace of the replay is the recorded trace, line for line.
  EXPECT_EQ(calls_of(replayed.trace), calls_of(recorded.trace));
}

TEST(ReplayBackend, AnEditedAnswerTakesTheStackWhereThatAnswerLeads) {
  const Recorded recorded = record(bring_up_and_wait);
  const struct {
    const char* what;
    std::string edited;
    std::string step;  // the step as the stack now ends it
  } cases[] = {
      {"a mailbox word",
       replaced(recorded.trace, R"("received":["0x4078020e")", R"("received":["0x5078020e")"),
       "initialize: Invalid(\"unexpected ICU reset response\")"},
      {"a failed request with its errno",
       replaced(
           recorded.trace,
           R"("request":"attach-buffer","number":"0xc008ed0b","index":"0x1","size":"0x2000","result":0)",
           R"("request":"attach-buffer","number":"0xc008ed0b","index":"0x1","size":"0x2000","result":-1,"errno":"EBUSY")"),
       "attach: Io { operation: \"attach host buffer\", source: Os { code: 16, kind: "
       "ResourceBusy, message: \"Device or resource busy\" } }"},
      {"a loaded value",
       replaced(recorded.trace, R"("op":"load","offset":"0x300dc","value":"0x600df00d")",
                R"("op":"load","offset":"0x300dc","value":"0xbad")"),
       "read: words bad 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Replayed replayed = replay(c.edited, bring_up_and_wait);
    EXPECT_NE(replayed.steps.find(c.step + "\n"), std::string::npos) << replayed.steps;
  }
}

TEST(ReplayBackend, ACallThatDepartsFromTheTraceStopsTheReplayThere) {
  const Recorded recorded = record(bring_up_and_wait);
  const Replayed replayed = replay(recorded.trace, [](zel_base::Backend& backend) {
    auto device = Device::open("/dev/zel0", backend);  // without the lock
    return device ? std::string("opened") : fmt::format("{:?}", device.error());
  });
  EXPECT_EQ(replayed.steps,
            "Io { operation: \"map configuration BAR\", source: Os { code: 125, kind: "
            "Uncategorized, message: \"Operation canceled\" } }");
  ASSERT_TRUE(replayed.stop);
  const auto* divergence = std::get_if<ReplayDivergence>(&*replayed.stop);
  ASSERT_NE(divergence, nullptr);
  EXPECT_EQ(divergence->event, 2u) << "the lock, after the open that matched";
  EXPECT_EQ(divergence->line, 3u);
  ASSERT_TRUE(divergence->recorded);
  EXPECT_EQ(call_text(divergence->recorded->call), R"({"op":"lock","fd":1000})");
  ASSERT_TRUE(divergence->made);
  EXPECT_EQ(call_text(*divergence->made), R"({"op":"map","fd":1000,"size":"0x80000"})");
  ASSERT_EQ(divergence->before.size(), 1u);
  EXPECT_EQ(op_name(divergence->before[0].call), "open");
}

TEST(ReplayBackend, ARunThatEndsEarlyOrGoesOnIsADivergenceAtTheTracesEnd) {
  const auto clock_work = [](int readings) {
    return [=](zel_base::Backend& backend) {
      std::string steps;
      for (int i = 0; i < readings; ++i) {
        steps += fmt::format("{} ", backend.now().count());
        backend.sleep_for(std::chrono::microseconds(5));
      }
      return steps;
    };
  };
  const Recorded recorded = record(clock_work(2));
  EXPECT_EQ(replay(recorded.trace, clock_work(2)).steps, recorded.steps);

  const Replayed shorter = replay(recorded.trace, clock_work(1));
  ASSERT_TRUE(shorter.stop);
  const auto& ended = std::get<ReplayDivergence>(*shorter.stop);
  EXPECT_FALSE(ended.made) << "the stack's run was over";
  ASSERT_TRUE(ended.recorded);
  EXPECT_EQ(call_text(ended.recorded->call), R"({"op":"now"})");
  EXPECT_EQ(ended.event, 3u);

  const Replayed longer = replay(recorded.trace, clock_work(3));
  ASSERT_TRUE(longer.stop);
  const auto& beyond = std::get<ReplayDivergence>(*longer.stop);
  EXPECT_FALSE(beyond.recorded) << "the recorded run had made no more calls";
  EXPECT_EQ(beyond.line, static_cast<std::uint64_t>(std::ranges::count(recorded.trace, '\n')));
  EXPECT_EQ(beyond.event, 5u);
  ASSERT_EQ(beyond.before.size(), 3u);
  EXPECT_EQ(beyond.before.back().line, 5u);
}

TEST(ReplayBackend, ALineThatCannotBeReadStopsTheReplayThere) {
  const Recorded recorded = record(bring_up_and_wait);
  const std::string cut = recorded.trace.substr(0, recorded.trace.size() / 2);
  const Replayed replayed = replay(cut.substr(0, cut.rfind('\n') + 1), bring_up_and_wait);
  ASSERT_TRUE(replayed.stop);
  const auto* error = std::get_if<TraceError>(&*replayed.stop);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->what, "the trace ends here without its last line: it was cut short");
}

}  // namespace
}  // namespace zel_driver
