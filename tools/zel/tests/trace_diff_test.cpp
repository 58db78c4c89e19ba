// Comparing what the host did in two traces, and `zel trace diff` on real runs.
#include "trace_diff.hpp"

#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "command_run.hpp"

namespace zel {
namespace {

using testing::CommandRun;
using testing::TempDirectory;
using testing::zel;

std::expected<std::optional<Divergence>, std::string> compare(const std::string& a,
                                                              const std::string& b) {
  std::istringstream first(a), second(b);
  return compare_traces(first, second, {.context = 1});
}

constexpr const char* POLLING = R"({"t_ns":1,"op":"phase","name":"load"}
{"t_ns":2,"op":"store","offset":"0x302c","value":"0x1"}
{"t_ns":3,"op":"load","offset":"0x302c","value":"0x1"}
{"t_ns":4,"op":"load","offset":"0x302c","value":"0x1"}
{"t_ns":5,"op":"load","offset":"0x302c","value":"0x0"}
{"t_ns":6,"op":"ioctl","request":"detach-buffer","number":"0xc008ed0c","argument":"0x0","result":0}
)";

TEST(TraceDiff, PollingTimesAndResultsDoNotCount) {
  // Another device: acknowledged at once, slower, and the kernel refused the detach.
  const char* other = R"({"t_ns":10,"op":"store","offset":"0x302c","value":"0x1"}
{"t_ns":30,"op":"load","offset":"0x302c","value":"0x0"}
{"t_ns":60,"op":"ioctl","request":"detach-buffer","number":"0xc008ed0c","argument":"0x0","result":-1,"errno":"EINVAL"}
)";
  auto compared = compare(POLLING, other);
  ASSERT_TRUE(compared) << compared.error();
  EXPECT_FALSE(*compared);
}

TEST(TraceDiff, NamesTheFirstDivergenceWithItsContext) {
  const char* other = R"({"t_ns":2,"op":"store","offset":"0x302c","value":"0x1"}
{"t_ns":3,"op":"load","offset":"0x302c","value":"0x1"}
{"t_ns":4,"op":"store","offset":"0x302c","value":"0x2"}
)";
  auto compared = compare(POLLING, other);
  ASSERT_TRUE(compared && *compared);
  const Divergence& divergence = **compared;
  EXPECT_EQ(divergence.matching, 2u);
  ASSERT_EQ(divergence.before.size(), 1u);
  EXPECT_EQ(divergence.before[0].text, "load \"0x302c\"");
  ASSERT_EQ(divergence.first.size(), 1u) << "the first trace has nothing after its request";
  EXPECT_EQ(divergence.first[0].text, "ioctl detach-buffer argument=\"0x0\"");
  EXPECT_EQ(divergence.first[0].line, 6u);
  ASSERT_EQ(divergence.second.size(), 1u);
  EXPECT_EQ(divergence.second[0].text, "store \"0x302c\" \"0x2\"");
  EXPECT_EQ(divergence.second[0].line, 3u);

  auto shorter = compare(POLLING, "{\"t_ns\":1,\"op\":\"phase\",\"name\":\"load\"}\n");
  ASSERT_TRUE(shorter && *shorter);
  EXPECT_TRUE((*shorter)->second.empty());
}

// What is not a trace is refused with the line where it stops being one, never compared.
TEST(TraceDiff, RefusesWhatIsNotATrace) {
  const std::string long_line = "{\"t_ns\":1,\"op\":\"phase\",\"name\":\"" +
                                std::string(TraceReader::MAX_LINE_BYTES, 'x') + "\"}\n";
  const struct {
    std::string trace;
    const char* error;
  } cases[] = {
      {"", "B: the trace is empty"},
      {"{\"t_ns\":1,\"op\":\"load\"}\nnot json\n", "B: line 2 is not a trace line"},
      {"{\"op\":\"load\"}\n", "B: line 1 is not a trace line"},
      {"{\"t_ns\":1,\"op\":\"load\"}\n{\"t_ns\":2,\"op\":\"reboot\"}\n",
       "B: line 2 has an unknown op \"reboot\""},
      {"{\"t_ns\":1,\"op\":\"load\"}\n" + long_line, "B: line 2 is longer than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    auto compared = compare(POLLING, c.trace);
    ASSERT_FALSE(compared) << c.error;
    EXPECT_EQ(compared.error(), c.error);
  }
}

TEST(TraceDiff, ARunAgainstItselfMatchesAndAgainstAFaultDoesNot) {
  TempDirectory dir;
  ASSERT_EQ(zel({"fixtures", dir.directory(), "--tiles", "256"}).status, 0);
  const auto traced = [&](const std::string& trace, std::vector<std::string> options) {
    std::vector<std::string> arguments = {"run", "--trace", dir.path(trace)};
    arguments.insert(arguments.end(), options.begin(), options.end());
    for (const char* name : {"configuration.zelcfg", "idle.package", "bootloader.elf"}) {
      arguments.push_back(dir.path(name));
    }
    return zel(arguments).status;
  };
  ASSERT_EQ(traced("pass.jsonl", {}), 0);
  ASSERT_EQ(traced("batch.jsonl", {"--fault", "batch-unacknowledged=3"}), 1);

  const CommandRun same = zel({"trace", "diff", dir.path("pass.jsonl"), dir.path("pass.jsonl")});
  EXPECT_EQ(same.status, 0);
  EXPECT_EQ(same.out, "the traces show the same host events\n");

  const CommandRun parted = zel({"trace", "diff", dir.path("pass.jsonl"), dir.path("batch.jsonl")});
  EXPECT_EQ(parted.status, 1);
  // The device never acknowledged batch 3: the host went on polling the mark until its timeout
  // where the passing run had moved on to the next batch.
  EXPECT_NE(parted.out.find("first divergence after "), std::string::npos) << parted.out;
  EXPECT_NE(parted.out.find("  + B:"), std::string::npos) << parted.out;

  const CommandRun unreadable = zel({"trace", "diff", dir.path("pass.jsonl"), dir.path("none")});
  EXPECT_EQ(unreadable.status, EXIT_USAGE);
  EXPECT_EQ(unreadable.err,
            fmt::format("zel trace diff: cannot read \"{}\": No such file or directory (ENOENT)\n",
                        dir.path("none")));

  // A word that survives the reset is the same host work: only the values tell it.
  ASSERT_EQ(traced("survives.jsonl", {"--fault", "word-survives-reset"}), 101);
  EXPECT_EQ(zel({"trace", "diff", dir.path("pass.jsonl"), dir.path("survives.jsonl")}).status, 0);
  const CommandRun values =
      zel({"trace", "diff", "--values", dir.path("pass.jsonl"), dir.path("survives.jsonl")});
  EXPECT_EQ(values.status, 1);
  EXPECT_TRUE(
      values.out.ends_with("first differing load: tile 735 address 0x80000 read \"0x0\" "
                           "in A, \"0x7e007e00\" in B\n"))
      << values.out;
  EXPECT_EQ(
      zel({"trace", "diff", "--values", dir.path("pass.jsonl"), dir.path("pass.jsonl")}).status, 0);
}

}  // namespace
}  // namespace zel
