// Comparing what the host did in two traces, and `zel trace diff` on real runs.
#include "trace_diff.hpp"

#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "command_run.hpp"
#include "zel_base/error.hpp"

namespace zel {
namespace {

using testing::CommandRun;
using testing::TempDirectory;
using testing::zel;

constexpr const char* HEAD =
    R"({"t_ns":0,"op":"trace","format":"zel-trace/2","version":"0.6.0","source_revision":"r","run":{}})"
    "\n";
constexpr const char* END = R"({"t_ns":99,"op":"end","run":{}})"
                            "\n";

std::string trace(const std::string& lines) { return HEAD + lines + END; }

std::expected<std::optional<Divergence>, std::string> compare(const std::string& a,
                                                              const std::string& b) {
  std::istringstream first(a), second(b);
  auto compared = compare_traces(first, second, {.context = 1});
  if (!compared) {
    return std::unexpected(
        fmt::format("{}: {}", compared.error().second ? "B" : "A", compared.error().error.text()));
  }
  return *compared;
}

const std::string POLLING = trace(R"({"t_ns":1,"op":"phase","name":"load"}
{"t_ns":2,"op":"store","offset":"0x302c","value":"0x1"}
{"t_ns":3,"op":"load","offset":"0x302c","value":"0x1"}
{"t_ns":3,"op":"now"}
{"t_ns":4,"op":"load","offset":"0x302c","value":"0x1"}
{"t_ns":5,"op":"load","offset":"0x302c","value":"0x0"}
{"t_ns":6,"op":"ioctl","request":"detach-buffer","number":"0xc008ed0c","argument":"0x0","result":0}
)");

TEST(TraceDiff, PollingTimesAndResultsDoNotCount) {
  // Another device, traced by zel 0.5 (no first or last line): acknowledged at once, slower,
  // and the kernel refused the detach.
  const char* other = R"({"t_ns":10,"op":"store","offset":"0x302c","value":"0x1"}
{"t_ns":30,"op":"load","offset":"0x302c","value":"0x0"}
{"t_ns":60,"op":"ioctl","request":"detach-buffer","number":"0xc008ed0c","argument":"0x0","result":-1,"errno":"EINVAL"}
)";
  auto compared = compare(POLLING, other);
  ASSERT_TRUE(compared) << compared.error();
  EXPECT_FALSE(*compared);
}

TEST(TraceDiff, NamesTheFirstDivergenceWithItsContext) {
  const std::string other = trace(R"({"t_ns":2,"op":"store","offset":"0x302c","value":"0x1"}
{"t_ns":3,"op":"load","offset":"0x302c","value":"0x1"}
{"t_ns":4,"op":"store","offset":"0x302c","value":"0x2"}
)");
  auto compared = compare(POLLING, other);
  ASSERT_TRUE(compared && *compared);
  const Divergence& divergence = **compared;
  EXPECT_EQ(divergence.matching, 2u);
  ASSERT_EQ(divergence.before.size(), 1u);
  EXPECT_EQ(divergence.before[0].text, R"({"op":"load","offset":"0x302c"})");
  ASSERT_EQ(divergence.first.size(), 1u) << "the first trace has nothing after its request";
  EXPECT_EQ(divergence.first[0].text,
            R"({"op":"ioctl","request":"detach-buffer","number":"0xc008ed0c","argument":"0x0"})");
  EXPECT_EQ(divergence.first[0].line, 8u);
  ASSERT_EQ(divergence.second.size(), 1u);
  EXPECT_EQ(divergence.second[0].text, R"({"op":"store","offset":"0x302c","value":"0x2"})");
  EXPECT_EQ(divergence.second[0].line, 4u);

  auto shorter = compare(POLLING, trace(""));
  ASSERT_TRUE(shorter && *shorter);
  EXPECT_TRUE((*shorter)->second.empty());
}

TEST(TraceDiff, RefusesWhatIsNotATraceAtItsLine) {
  const struct {
    std::string trace;
    std::string error;
  } cases[] = {
      {"", "B: line 1: the trace is empty"},
      {trace(R"({"t_ns":1,"op":"frob"})"
             "\n"),
       "B: line 2: unknown op \"frob\""},
      {trace("not json\n"), "B: line 2: not a JSON object"},
      {trace(std::string(zel_driver::TRACE_LINE_LIMIT + 1, ' ') + "\n"),
       "B: line 2: longer than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    auto compared = compare(POLLING, c.trace);
    ASSERT_FALSE(compared) << c.error;
    EXPECT_EQ(compared.error(), c.error);
  }
}

// Traces of real runs, on a 1472-tile device with a one-batch package.
class TraceDiffOfRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zel({"fixtures", dir_.directory(), "--tiles", "64"}).status, 0);
  }
  int traced(const std::string& trace, std::vector<std::string> options) const {
    std::vector<std::string> arguments = {"run", "--trace", dir_.path(trace)};
    arguments.insert(arguments.end(), options.begin(), options.end());
    for (const char* name : {"configuration.zelcfg", "idle.package", "bootloader.elf"}) {
      arguments.push_back(dir_.path(name));
    }
    return zel(arguments).status;
  }
  TempDirectory dir_;
};

TEST_F(TraceDiffOfRuns, ARunAgainstItselfMatchesAndAgainstAFaultDoesNot) {
  ASSERT_EQ(traced("pass.jsonl", {}), 0);
  ASSERT_EQ(traced("batch.jsonl", {"--fault", "batch-unacknowledged=0"}), 1);

  const CommandRun same = zel({"trace", "diff", dir_.path("pass.jsonl"), dir_.path("pass.jsonl")});
  EXPECT_EQ(same.status, 0);
  EXPECT_EQ(same.out, "the traces show the same host events\n");

  const CommandRun parted =
      zel({"trace", "diff", dir_.path("pass.jsonl"), dir_.path("batch.jsonl")});
  EXPECT_EQ(parted.status, 1);
  // The device never acknowledged the batch: the host went on polling the mark until its
  // timeout where the passing run had moved on.
  EXPECT_NE(parted.out.find("first divergence after "), std::string::npos) << parted.out;
  EXPECT_NE(parted.out.find("  + B:"), std::string::npos) << parted.out;

  const std::string none = dir_.path("none\nsuch");
  const CommandRun unreadable = zel({"trace", "diff", dir_.path("pass.jsonl"), none});
  EXPECT_EQ(unreadable.status, EXIT_USAGE);
  EXPECT_EQ(unreadable.err,
            fmt::format("zel trace diff: cannot read {}: No such file or directory (ENOENT)\n",
                        zel_base::debug_quote(none)));
}

TEST_F(TraceDiffOfRuns, ValuesNameTheWordTheCheckReadDifferently) {
  ASSERT_EQ(traced("pass.jsonl", {}), 0);
  ASSERT_EQ(traced("survives.jsonl", {"--fault", "word-survives-reset"}), 101);
  const std::vector<std::string> diff = {"trace", "diff", dir_.path("pass.jsonl"),
                                         dir_.path("survives.jsonl")};
  EXPECT_EQ(zel(diff).status, 0) << "the host did the same; only what it read differs";

  std::vector<std::string> values = diff;
  values.push_back("--values");
  const CommandRun parted = zel(values);
  EXPECT_EQ(parted.status, 1);
  EXPECT_TRUE(
      parted.out.ends_with("first differing load: tile 735 address 0x80000 read \"0x0\" "
                           "in A, \"0x7e007e00\" in B\n"))
      << parted.out;
  values[3] = values[2];
  EXPECT_EQ(zel(values).out, "the traces show the same host events and loaded values\n");
}

}  // namespace
}  // namespace zel
