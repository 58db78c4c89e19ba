// `zel replay`: recorded runs end as they ended, with the same lines, report and trace; edited
// answers lead where they lead; a departure is named; what cannot be replayed is refused.
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "command_run.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_base/error.hpp"

namespace zel {
namespace {

using nlohmann::json;
using testing::CommandRun;
using testing::TempDirectory;
using testing::zel;

constexpr const char* INPUTS[] = {"configuration.zelcfg", "idle.package", "bootloader.elf"};
constexpr const char* PASS_LINES = "memory reset: 1.6521ms\npoison/reset/readback PASS\n";

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A stored trace, as gzip left it.
std::string gunzip(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  EXPECT_NE(file, nullptr) << path;
  std::string text;
  char piece[1 << 16];
  for (int got; file != nullptr && (got = gzread(file, piece, sizeof piece)) > 0;) {
    text.append(piece, static_cast<std::size_t>(got));
  }
  if (file != nullptr) gzclose(file);
  return text;
}

// `text` with the first occurrence of `what` after `after` replaced.
std::string edited(std::string text, const std::string& after, const std::string& what,
                   const std::string& with) {
  const std::size_t at = text.find(what, text.find(after));
  EXPECT_NE(at, std::string::npos) << what;
  if (at != std::string::npos) text.replace(at, what.size(), with);
  return text;
}

std::string without_fault_lines(const std::string& err) {
  // What zel run says of the simulated device's faults is zel run's, not the run's: the
  // report carries it.
  return std::regex_replace(err, std::regex("zel run: (warning: )?fault [^\n]*\n"), "");
}

std::vector<std::string> lines_after_first(const std::string& path) {
  auto lines = testing::lines_of(path);
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

// Inputs written by `zel fixtures`, the same every time, for the whole suite.
class Replays : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    inputs_ = new TempDirectory;
    for (const auto& [name, tiles] :
         {std::pair{"batch", "64"}, {"wide", "256"}, {"demo", "1472"}}) {
      ASSERT_EQ(zel({"fixtures", inputs_->path(name), "--tiles", tiles}).status, 0);
    }
  }
  static void TearDownTestSuite() { delete inputs_; }

  static std::vector<std::string> with_inputs(std::vector<std::string> arguments,
                                              const std::string& set) {
    for (const char* name : INPUTS) arguments.push_back(inputs_->path(set + "/" + name));
    return arguments;
  }
  // `zel run OPTIONS... INPUTS`, tracing to and reporting in the test's own folder.
  CommandRun record(const std::string& set, std::vector<std::string> options) const {
    options.insert(options.begin(), {"run", "--trace", dir_.path("recorded.jsonl"), "--report",
                                     dir_.path("run.json")});
    return zel(with_inputs(options, set));
  }
  // `zel replay TRACE INPUTS OPTIONS...`
  CommandRun replay(const std::string& trace, const std::string& set,
                    std::vector<std::string> options = {}) const {
    std::vector<std::string> arguments = with_inputs({"replay", trace}, set);
    arguments.insert(arguments.end(), options.begin(), options.end());
    return zel(arguments);
  }
  json report(const std::string& name) const { return json::parse(read_file(dir_.path(name))); }

  static TempDirectory* inputs_;
  TempDirectory dir_;
};
TempDirectory* Replays::inputs_ = nullptr;

// A clean run, a run with each fault of `zel faults`, and a run the simulated device refused
// (a device with fewer tiles than the package), recorded then replayed.
class RecordThenReplay : public Replays,
                         public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(RecordThenReplay, EndsAsRecordedWithItsLinesReportAndTrace) {
  const CommandRun recorded = record("wide", GetParam());
  const CommandRun replayed =
      replay(dir_.path("recorded.jsonl"), "wide",
             {"--report", dir_.path("replay.json"), "--trace", dir_.path("replayed.jsonl")});
  EXPECT_EQ(replayed.status, recorded.status) << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(replayed.err, without_fault_lines(recorded.err));

  // The same report apart from where and when it was made, and what it replays.
  json run = report("run.json"), again = report("replay.json");
  EXPECT_EQ(again["recorded"]["command_line"], run["command_line"]);
  for (const char* made_here : {"command_line", "started_at", "recorded"}) {
    run.erase(made_here);
    again.erase(made_here);
  }
  EXPECT_EQ(again, run);
  // The replay's trace, on the recorded run's clock, is the recorded trace.
  EXPECT_EQ(lines_after_first(dir_.path("replayed.jsonl")),
            lines_after_first(dir_.path("recorded.jsonl")));
}

std::vector<std::vector<std::string>> clean_every_fault_and_refused() {
  std::vector<std::vector<std::string>> runs = {{}, {"--tiles", "128"}};
  for (const FaultOutcome& row : fault_outcomes()) runs.push_back({"--fault", row.fault});
  return runs;
}

INSTANTIATE_TEST_SUITE_P(CleanEveryFaultAndRefused, RecordThenReplay,
                         ::testing::ValuesIn(clean_every_fault_and_refused()),
                         [](const ::testing::TestParamInfo<std::vector<std::string>>& info) {
                           std::string name = info.param.empty() ? "clean" : info.param.back();
                           if (name == "128") name = "refused";
                           std::ranges::replace_if(
                               name, [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

// The recorded runs kept in the repository (scripts/record-traces), one per way a run ends.
struct StoredRun {
  const char* name;
  const char* inputs;  // the fixtures they were recorded with
  const char* fault;   // its row of the fault outcomes; none for the passing demo run
};

void PrintTo(const StoredRun& run, std::ostream* out) { *out << run.name; }

class StoredRecordedRuns : public Replays, public ::testing::WithParamInterface<StoredRun> {};

TEST_P(StoredRecordedRuns, ReplayAsTheyEnded) {
  const StoredRun& stored = GetParam();
  const std::string trace = dir_.path("stored.jsonl");
  write_file(trace, gunzip(fmt::format("{}/{}.jsonl.gz", ZEL_RECORDED_DIR, stored.name)));
  const CommandRun replayed = replay(trace, stored.inputs);
  if (stored.fault == nullptr) {
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(replayed.out, PASS_LINES);
    EXPECT_EQ(replayed.err, "");
    return;
  }
  const auto rows = fault_outcomes();
  const auto row = std::ranges::find(rows, std::string_view(stored.fault), &FaultOutcome::fault);
  ASSERT_NE(row, rows.end());
  EXPECT_EQ(replayed.status, row->status) << replayed.err;
  EXPECT_EQ(replayed.err, row->err);
  EXPECT_EQ(replayed.out.starts_with("memory reset: "), row->reset_line);
}

INSTANTIATE_TEST_SUITE_P(
    EveryWayARunEnds, StoredRecordedRuns,
    ::testing::Values(StoredRun{"demo", "demo", nullptr},
                      StoredRun{"autoloader-stuck", "batch", "autoloader-stuck"},
                      StoredRun{"mailbox-answer", "batch", "mailbox-answer"},
                      StoredRun{"ioctl-fails", "batch", "ioctl-fails=attach-buffer:16"},
                      StoredRun{"word-survives-reset", "batch", "word-survives-reset"}),
    [](const ::testing::TestParamInfo<StoredRun>& info) {
      std::string name = info.param.name;
      std::ranges::replace(name, '-', '_');
      return name;
    });

TEST_F(Replays, AnEditedAnswerLeadsWhereThatAnswerLeads) {
  const auto stored = [](const char* name) {
    return gunzip(fmt::format("{}/{}.jsonl.gz", ZEL_RECORDED_DIR, name));
  };
  const struct {
    const char* what;
    std::string trace;
    int status;
    std::string err;  // contained in standard error
  } cases[] = {
      {"the word the readback read",
       edited(stored("word-survives-reset"), R"("name":"readback")", R"("value":"0x7e007e00")",
              R"("value":"0x1234")"),
       101, "tile 735 address 0x80000 reads 0x1234\n"},
      {"the errno of the refused request", edited(stored("ioctl-fails"), "", "EBUSY", "ENOMEM"), 1,
       "Error: Io { operation: \"attach host buffer\", source: Os { code: 12, kind: OutOfMemory, "
       "message: \"Cannot allocate memory\" } }\n"},
      // A wrong ICU answer ends the run where the recorded one went on: the block says where,
      // then the run's own end.
      {"the ICU's answer",
       edited(stored("ioctl-fails"), "", R"("received":["0x4078020e")",
              R"("received":["0x5078020e")"),
       EXIT_DIVERGED,
       "  + the stack  {\"op\":\"unmap\",\"mapping\":\"configuration\",\"size\":\"0x80000\"}\n"
       "  the run's own end, every call after the departure refused (ECANCELED):\n"
       "Error: Invalid(\"unexpected ICU reset response\")\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir_.path("edited.jsonl"), c.trace);
    const CommandRun replayed = replay(dir_.path("edited.jsonl"), "batch");
    EXPECT_EQ(replayed.status, c.status);
    EXPECT_NE(replayed.err.find(c.err), std::string::npos) << replayed.err;
  }
}

TEST_F(Replays, ADepartureFromTheTraceIsNamedAndReported) {
  ASSERT_EQ(record("batch", {}).status, 0);
  // The stack wrote another value than the recorded run did at line 701.
  std::vector<std::string> lines = testing::lines_of(dir_.path("recorded.jsonl"));
  lines[700] =
      std::regex_replace(lines[700], std::regex(R"("value":"0x[0-9a-f]+")"), R"("value":"0x1234")");
  std::string trace;
  for (const std::string& line : lines) trace += line + "\n";
  write_file(dir_.path("edited.jsonl"), trace);
  const CommandRun replayed =
      replay(dir_.path("edited.jsonl"), "batch", {"--report", dir_.path("replay.json")});
  EXPECT_EQ(replayed.status, EXIT_DIVERGED);
  EXPECT_EQ(replayed.out, "") << "the run's lines after the departure are not the run's";
  EXPECT_NE(replayed.err.find(fmt::format(
                "zel replay: {}: the run departed from the trace at event 700 (line 701), in "
                "phase load:\n",
                zel_base::debug_quote(dir_.path("edited.jsonl")))),
            std::string::npos)
      << replayed.err;
  EXPECT_NE(replayed.err.find("  - line 701  " + lines[700] + "\n"), std::string::npos);
  const json divergence = report("replay.json")["divergence"];
  EXPECT_EQ(report("replay.json")["result"], "diverged");
  EXPECT_EQ(report("replay.json")["exit_status"], EXIT_DIVERGED);
  EXPECT_EQ(divergence["line"], 701);
  EXPECT_EQ(divergence["recorded"]["value"], "0x1234");
  EXPECT_NE(divergence["made"]["value"], "0x1234");
  EXPECT_EQ(divergence["before"].size(), 3u);
}

TEST_F(Replays, ResultLinesThatCannotBeWrittenAreNoPass) {
  ASSERT_EQ(record("batch", {}).status, 0);
  std::ostringstream lost;
  lost.setstate(std::ios::badbit);  // as standard output on a full disk
  const CommandRun replayed =
      testing::zel_to(with_inputs({"replay", dir_.path("recorded.jsonl")}, "batch"), lost);
  EXPECT_EQ(replayed.status, 1);
  EXPECT_EQ(replayed.err, "zel replay: cannot write the result lines: Input/output error (EIO)\n");
}

TEST_F(Replays, WhatCannotBeReplayedIsRefusedInOneLine) {
  ASSERT_EQ(record("batch", {}).status, 0);
  const std::string trace = read_file(dir_.path("recorded.jsonl"));
  const std::string path = dir_.path("t.jsonl");
  const std::string quoted = zel_base::debug_quote(path);
  const std::size_t first_store =
      std::count(trace.begin(), trace.begin() + trace.find(R"("op":"store")"), '\n') + 1;
  const auto cut_at_line = [&](std::size_t lines) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < lines; ++i) at = trace.find('\n', at) + 1;
    return trace.substr(0, at);
  };
  const struct {
    const char* what;
    std::string trace;
    std::string set;  // of inputs
    std::string line;
  } cases[] = {
      {"cut short", cut_at_line(3000), "batch",
       fmt::format("zel replay: {}: line 3000: the trace ends here without its last line: it was "
                   "cut short\n",
                   quoted)},
      {"corrupt", edited(trace, R"("op":"store")", R"("op":"store")", R"("op":"stor")"), "batch",
       fmt::format("zel replay: {}: line {}: unknown op \"stor\"\n", quoted, first_store)},
      {"of another format",
       edited(trace, "", R"("format":"zel-trace/2")", R"("format":"zel-trace/3")"), "batch",
       fmt::format("zel replay: {}: line 1: trace format \"zel-trace/3\" is not one this zel "
                   "reads (zel-trace/2)\n",
                   quoted)},
      {"of other inputs", trace, "wide",
       fmt::format("zel replay: the package file {} is not the recorded one: ",
                   zel_base::debug_quote(inputs_->path("wide/idle.package")))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(path, c.trace);
    const CommandRun replayed = replay(path, c.set);
    EXPECT_EQ(replayed.status, EXIT_USAGE);
    EXPECT_EQ(replayed.out, "");
    EXPECT_TRUE(replayed.err.starts_with(c.line)) << replayed.err;
    EXPECT_EQ(std::ranges::count(replayed.err, '\n'), 1) << replayed.err;
  }
}

}  // namespace
}  // namespace zel
