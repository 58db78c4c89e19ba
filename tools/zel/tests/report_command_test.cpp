// `zel report`: what it reads, what it refuses and lists, and how it tells the devices apart.
#include <cstdint>
#include <fstream>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "command_run.hpp"

namespace zel {
namespace {

using nlohmann::json;
using testing::CommandRun;
using testing::TempDirectory;
using testing::zel;

// A report as zel run writes it, with `changes` merged over a passing run's fields.
json report(const json& changes = json::object()) {
  json base = {
      {"schema", "zel-run-report/1"},
      {"version", "0.6.0"},
      {"source_revision", "abc"},
      {"host", "lab1"},
      {"started_at", "2026-12-10T22:05:01.123Z"},
      {"device", {{"kind", "node"}, {"path", "/dev/zel0"}, {"identity", "/dev/zel0"}}},
      {"sequence", 1},
      {"inputs", json::array()},
      {"faults", json::array()},
      {"phases", json::array()},
      {"reset", {{"duration_ns", 1652100}, {"text", "1.6521ms"}}},
      {"result", "pass"},
      {"exit_status", 0},
  };
  base.merge_patch(changes);
  return base;
}

class ZelReport : public ::testing::Test {
 protected:
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_.path(name)) << text;
  }
  void write(const std::string& name, const json& object) const { write(name, object.dump()); }
  TempDirectory dir_;
};

TEST_F(ZelReport, ReportsThatCannotBeReadAreListedAndAForeignSchemaNamed) {
  write("a.json", report());
  write("b.json", std::string("not json"));
  write("c.json", report({{"schema", "zel-run-report/2"}}));
  write("d.json", json::object({{"what", "something else"}}));
  const CommandRun aggregated = zel({"report", dir_.directory(), dir_.path("missing.json")});
  EXPECT_EQ(aggregated.status, 1);
  EXPECT_NE(aggregated.out.find("1 runs on 1 devices of 1 host: 1 passed, 0 did not"),
            std::string::npos)
      << aggregated.out;
  const auto line = [&](const std::string& name, const std::string& reason) {
    return fmt::format("zel report: cannot read \"{}\": {}\n", dir_.path(name), reason);
  };
  EXPECT_EQ(aggregated.err,
            line("b.json", "not JSON") +
                line("c.json", "schema \"zel-run-report/2\" is not zel-run-report/1") +
                line("d.json", "no schema: not a run report") +
                line("missing.json", "No such file or directory (ENOENT)"));
}

// A board's runs, the same device with faults injected, and a report of zel 0.5 without the
// fields that came later: three devices, the injected one apart.
TEST_F(ZelReport, DevicesAreHostAndIdentityWithInjectedFaultsApart) {
  write("pass.json", report());
  write(
      "injected.json",
      report({{"faults", json::parse(R"([{"fault":"word-survives-reset","fired":1}])")},
              {"result", "check-failed"},
              {"exit_status", 101},
              {"check_failure",
               {{"report", "readback check failed: tile 735 address 0x80000\nassertion"},
                {"words", json::parse(R"([{"tile":735,"address":"0x80000","value":"0x1"}])")}}}}));
  write("old.json", report({{"host", nullptr},
                            {"device", {{"path", "/dev/zel1"}, {"identity", nullptr}}},
                            {"started_at", nullptr},
                            {"faults", nullptr},
                            {"result", "error"},
                            {"exit_status", 1},
                            {"error", {{"display", "d"}, {"debug", "Timeout(\"x\")"}}}}));
  const CommandRun aggregated = zel({"report", "--json", dir_.directory()});
  EXPECT_EQ(aggregated.status, 1);
  const json summary = json::parse(aggregated.out);
  EXPECT_EQ(summary["runs_with_faults_injected"], 1);
  ASSERT_EQ(summary["devices"].size(), 3u);
  EXPECT_EQ(summary["devices"][0]["device"], "/dev/zel0");
  EXPECT_EQ(summary["devices"][0]["faults_injected"], false);
  EXPECT_EQ(summary["devices"][1]["faults_injected"], true);
  EXPECT_EQ(summary["devices"][2]["host"], "unknown");
  EXPECT_EQ(summary["devices"][2]["device"], "/dev/zel1");
  EXPECT_EQ(summary["failures_by_word"][0]["what"], "tile 735 address 0x80000");
  EXPECT_EQ(summary["failures_by_word"][0]["devices"][0], "lab1 /dev/zel0 (faults injected)");
}

// Texts from a report never reach the terminal raw.
TEST_F(ZelReport, TextsOfAReportArePrintedEscaped) {
  write("a.json", report({{"host", "lab\n\x1b[2Jx"}}));
  const CommandRun aggregated = zel({"report", dir_.directory()});
  EXPECT_EQ(aggregated.status, 0);
  EXPECT_NE(aggregated.out.find("\"lab\\n\\u{1b}[2Jx\" /dev/zel0"), std::string::npos)
      << aggregated.out;
  EXPECT_EQ(aggregated.out.find('\x1b'), std::string::npos);
}

// A report of the right schema whose fields are missing or of another type is read as far as
// it goes, or listed with its reason: one bad file never stops the aggregation of the rest.
TEST_F(ZelReport, MalformedReportsAreReadAsFarAsTheyGoOrListed) {
  struct Case {
    const char* name;
    json changes;
    const char* reason;  // nullptr: the run is read
  };
  const Case cases[] = {
      {"no-reset-time", {{"reset", {{"duration_ns", nullptr}}}}, nullptr},
      {"reset-text", {{"reset", "fast"}}, nullptr},
      {"word-without-tile",
       {{"result", "check-failed"},
        {"exit_status", 101},
        {"check_failure", {{"report", "readback"}, {"words", {{{"address", "0x1"}}}}}}},
       nullptr},
      {"words-text", {{"result", "check-failed"}, {"check_failure", {{"words", "many"}}}}, nullptr},
      {"refusals-text", {{"result", "refused"}, {"exit_status", 3}, {"refusals", "x"}}, nullptr},
      {"refusals-numbers", {{"result", "refused"}, {"refusals", {1, 2}}}, nullptr},
      {"device-text", {{"device", "zel0"}}, nullptr},
      {"phases-object", {{"phases", {{"name", "open"}}}}, nullptr},
      {"error-text", {{"result", "error"}, {"error", "broke"}}, nullptr},
      // Listed in the order of their paths.
      {"exit-status-text", {{"exit_status", "0"}}, "no result or exit status"},
      {"result-unknown",
       {{"result", "PASS"}},
       "result \"PASS\" is none of pass, error, check-failed, refused"},
  };
  std::string expected_err;
  for (const Case& c : cases) {
    write(fmt::format("{}.json", c.name), report(c.changes));
    if (c.reason != nullptr) {
      expected_err += fmt::format("zel report: cannot read \"{}\": {}\n",
                                  dir_.path(fmt::format("{}.json", c.name)), c.reason);
    }
  }
  const CommandRun aggregated = zel({"report", "--json", dir_.directory()});
  EXPECT_EQ(aggregated.status, 1);
  EXPECT_EQ(aggregated.err, expected_err);
  const json summary = json::parse(aggregated.out);
  EXPECT_EQ(summary["runs"], 9);
  EXPECT_EQ(summary["unreadable"].size(), 2u);
  // Every run that did not pass is in a group, under its error or at least its result.
  std::uint64_t grouped = 0;
  for (const json& group : summary["failures_by_error"]) grouped += group["runs"].get<int>();
  EXPECT_EQ(grouped, 5u) << summary["failures_by_error"].dump();
  EXPECT_TRUE(summary["failures_by_word"].empty());
}

// What CI systems show of a run: its own time (not the reset's), in seconds with at most three
// decimals, and its class apart when faults were injected.
TEST_F(ZelReport, JUnitCasesTakeTheRunsTimeAndKeepInjectedFaultsApart) {
  const json phases = json::parse(
      R"([{"name":"open","start_ns":0,"duration_ns":2000},
          {"name":"release","start_ns":12345678,"duration_ns":4000}])");
  write("board.json", report({{"phases", phases}}));
  write("injected.json",
        report({{"phases", phases},
                {"faults", json::parse(R"([{"fault":"word-survives-reset","fired":1}])")},
                {"result", "error"},
                {"exit_status", 1}}));
  const CommandRun aggregated = zel({"report", dir_.directory(), "--junit", "-"});
  EXPECT_EQ(aggregated.status, 1);
  const std::string& xml = aggregated.out;
  EXPECT_NE(xml.find("classname=\"zel.lab1./dev/zel0\" time=\"0.012\"/>"), std::string::npos)
      << xml;
  EXPECT_NE(xml.find("classname=\"zel.lab1./dev/zel0 (faults injected)\" time=\"0.012\">"),
            std::string::npos)
      << xml;
  // With no more than its result to say, the error still has a message.
  EXPECT_NE(xml.find("<error message=\"error\" type=\"error\">error</error>"), std::string::npos)
      << xml;
  EXPECT_NE(xml.find("time=\"0.012\" hostname=\"lab1\" timestamp=\"2026-12-10T22:05:01\">"),
            std::string::npos)
      << xml;
}

// Reset times from the extremes of what a report can hold land in the histogram's first and
// last bins, with no product of them wrapping around.
TEST_F(ZelReport, TheHistogramSpansAnyResetTimes) {
  write("fastest.json", report({{"reset", {{"duration_ns", 0}}}}));
  write("slowest.json", report({{"reset", {{"duration_ns", UINT64_MAX}}}}));
  const CommandRun page = zel({"report", dir_.directory(), "--html", "-"});
  EXPECT_EQ(page.status, 0);
  std::vector<std::string> bars;
  const std::string bar = "<rect class=\"bin\" x=\"";
  for (std::size_t at = 0; (at = page.out.find(bar, at)) != std::string::npos; ++at) {
    bars.push_back(
        page.out.substr(at + bar.size(), page.out.find('"', at + bar.size()) - at - bar.size()));
  }
  EXPECT_EQ(bars, (std::vector<std::string>{"1", "609"})) << page.out;
}

// Nothing to read is no pass: an empty folder fails the gate, its formats still written.
TEST_F(ZelReport, NoReportAtAllIsNoPass) {
  const CommandRun aggregated = zel({"report", dir_.directory(), "--junit", dir_.path("j.xml")});
  EXPECT_EQ(aggregated.status, 1);
  EXPECT_EQ(aggregated.err, "zel report: no run report in the paths given\n");
  EXPECT_NE(aggregated.out.find("0 runs on 0 devices"), std::string::npos) << aggregated.out;
  EXPECT_NE(testing::lines_of(dir_.path("j.xml")).size(), 0u);
}

TEST_F(ZelReport, TheSchemaIsBuiltIn) {
  const CommandRun schema = zel({"report", "--schema"});
  EXPECT_EQ(schema.status, 0);
  EXPECT_EQ(json::parse(schema.out)["$id"], "zel-run-report/1");
  EXPECT_EQ(zel({"report"}).status, EXIT_USAGE);
}

}  // namespace
}  // namespace zel
