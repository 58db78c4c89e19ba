// `zel report`: what it reads, what it refuses and lists, and how it tells the devices apart.
#include <fstream>

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

TEST_F(ZelReport, TheSchemaIsBuiltIn) {
  const CommandRun schema = zel({"report", "--schema"});
  EXPECT_EQ(schema.status, 0);
  EXPECT_EQ(json::parse(schema.out)["$id"], "zel-run-report/1");
  EXPECT_EQ(zel({"report"}).status, EXIT_USAGE);
}

}  // namespace
}  // namespace zel
