// `zel run`: its trace, its report, its log and what it does when they cannot be written.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <regex>
#include <set>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_run_fixture.hpp"

namespace zel {
namespace {

using nlohmann::json;
using testing::CommandRun;
using testing::hex_value;
using testing::lines_of;
using testing::TempDirectory;
using testing::zel;
using testing::ZelRun;

constexpr const char* PHASES[] = {"open",       "initialize", "replay",         "package",
                                  "bootloader", "load",       "package-writes", "poison",
                                  "restore",    "reset",      "readback",       "release"};

TEST_F(ZelRun, TracesOfIdenticalRunsAreIdenticalJsonLinesWithoutHostAddresses) {
  ASSERT_EQ(run({"--trace", dir_.path("a.jsonl")}).status, 0);
  ASSERT_EQ(run({"--trace", dir_.path("b.jsonl")}).status, 0);
  const auto lines = lines_of(dir_.path("a.jsonl"));
  // The first line names the trace's own path, in the command line.
  const auto other = lines_of(dir_.path("b.jsonl"));
  EXPECT_EQ(std::vector(lines.begin() + 1, lines.end()),
            std::vector(other.begin() + 1, other.end()));

  std::vector<std::string> phases;
  std::set<std::string> requests;
  for (const std::string& line : lines) {
    const json object = json::parse(line);  // throws, failing the test, on a bad line
    ASSERT_TRUE(object["t_ns"].is_number_unsigned()) << line;
    ASSERT_TRUE(object["op"].is_string()) << line;
    if (object["op"] == "phase") phases.push_back(object["name"]);
    if (object["op"] == "ioctl") requests.insert(object["request"].get<std::string>());
    // Every value is a register offset or value, a size or a request number: all fit 32
    // bits, where a host address would not.
    for (const auto& [key, value] : object.items()) {
      const auto number = hex_value(value);
      EXPECT_LE(number.value_or(0), 0xffffffffu) << key << " in " << line;
      for (const json& word : value.is_array() ? value : json::array()) {
        EXPECT_LE(hex_value(word).value_or(0), 0xffffffffu) << line;
      }
    }
  }
  EXPECT_EQ(phases, std::vector<std::string>(std::begin(PHASES), std::end(PHASES)));
  EXPECT_EQ(requests.size(), 10u) << "every request of the interface is traced by name";
  // The node is held (opened and locked) before the run and let go after it.
  EXPECT_TRUE(lines[0].starts_with(R"({"t_ns":0,"op":"trace","format":"zel-trace/2",)"));
  EXPECT_EQ(lines[1],
            "{\"t_ns\":2000,\"op\":\"open\",\"path\":\"/dev/zel0\",\"flags\":\"0x80002\","
            "\"result\":1000}");
  EXPECT_EQ(lines[2], "{\"t_ns\":4000,\"op\":\"lock\",\"fd\":1000,\"result\":0}");
  EXPECT_EQ(lines[3], "{\"t_ns\":4000,\"op\":\"phase\",\"name\":\"open\"}");
  EXPECT_EQ(lines.end()[-2], "{\"t_ns\":4915600,\"op\":\"close\",\"fd\":1000,\"result\":0}");
  EXPECT_EQ(
      lines.back(),
      R"({"t_ns":4915600,"op":"end","run":{"exit_status":0,"faults":[],"warnings":[],"refusals":[]}})");
  // The first names the inputs by their digests, for a replay to check.
  const json inputs = json::parse(lines[0])["run"]["inputs"];
  ASSERT_EQ(inputs.size(), 3u);
  EXPECT_EQ(inputs[1]["sha256"].get<std::string>().size(), 64u);
}

TEST_F(ZelRun, OnARegularFileAsTheNodeTheAttachRequestFails) {
  const std::string node = dir_.path("not-a-device");
  { std::ofstream(node) << ""; }
  const CommandRun ran = run({"--device", node, "--trace", dir_.path("t.jsonl")});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.err,
            "Error: Io { operation: \"attach ZEL\", source: Os { code: 25, kind: Uncategorized, "
            "message: \"Inappropriate ioctl for device\" } }\n");
  std::vector<std::string> ops;
  for (const std::string& line : lines_of(dir_.path("t.jsonl"))) {
    const json object = json::parse(line);
    std::string op = object["op"];
    if (op == "open") {
      EXPECT_EQ(object["path"], node);
    }
    if (op == "ioctl") {
      EXPECT_EQ(object["request"], "attach");
      EXPECT_EQ(object["result"], -1);
      EXPECT_EQ(object["errno"], "ENOTTY");
    }
    if (op != "phase") ops.push_back(op);
  }
  EXPECT_EQ(ops, (std::vector<std::string>{"trace", "open", "lock", "open", "map", "ioctl", "unmap",
                                           "close", "close", "end"}));
}

// The report as the README documents it: the fields every report has, and those of its result.
void expect_documented_report(const json& report, const std::string& result) {
  SCOPED_TRACE(result);
  EXPECT_EQ(report["schema"], "zel-run-report/1");
  EXPECT_TRUE(report["version"].is_string());
  EXPECT_TRUE(report["source_revision"].is_string());
  EXPECT_EQ(report["command_line"][0], "zel");
  EXPECT_EQ(report["command_line"][1], "run");
  EXPECT_TRUE(report["host"].is_string());
  EXPECT_TRUE(report["kernel_release"].is_string());
  EXPECT_TRUE(std::regex_match(report["started_at"].get<std::string>(),
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                          "\\.[0-9]{3}Z")));
  EXPECT_EQ(report["device"]["kind"], "simulated");
  EXPECT_TRUE(report["device"]["tiles"].is_number_unsigned());
  EXPECT_EQ(report["device"]["identity"], "sim0");
  EXPECT_EQ(report["sequence"], 1);
  EXPECT_TRUE(report["faults"].is_array());
  EXPECT_TRUE(report["warnings"].is_array());
  ASSERT_EQ(report["inputs"].size(), 3u);
  for (const json& input : report["inputs"]) {
    EXPECT_TRUE(input["role"].is_string());
    EXPECT_TRUE(input["path"].is_string());
    EXPECT_TRUE(input["size"].is_number_unsigned());
    EXPECT_TRUE(std::regex_match(input["sha256"].get<std::string>(), std::regex("[0-9a-f]{64}")));
  }
  ASSERT_FALSE(report["phases"].empty());
  std::uint64_t next_start = report["phases"][0]["start_ns"];
  for (const json& phase : report["phases"]) {
    EXPECT_TRUE(phase["name"].is_string());
    EXPECT_EQ(phase["start_ns"], next_start) << "each phase begins where the one before ended";
    next_start = phase["start_ns"].get<std::uint64_t>() + phase["duration_ns"].get<std::uint64_t>();
  }
  EXPECT_EQ(report["result"], result);
  EXPECT_TRUE(report["exit_status"].is_number_integer());
  // A refused run reports how the tool's own run ended besides.
  if (result != "refused") {
    EXPECT_EQ(report.contains("error"), result == "error");
    EXPECT_EQ(report.contains("check_failure"), result == "check-failed");
  }
  if (report.contains("error")) {
    EXPECT_TRUE(report["error"]["display"].is_string());
    EXPECT_TRUE(report["error"]["debug"].is_string());
  }
  if (report.contains("check_failure")) {
    EXPECT_TRUE(report["check_failure"]["report"].is_string());
    for (const json& word : report["check_failure"]["words"]) {
      EXPECT_TRUE(word["tile"].is_number_unsigned());
      EXPECT_TRUE(hex_value(word["address"]));
      EXPECT_TRUE(hex_value(word["value"]));
    }
  }
  EXPECT_EQ(report.contains("refusals"), result == "refused");
  if (!report["reset"].is_null()) {
    EXPECT_TRUE(report["reset"]["duration_ns"].is_number_unsigned());
    EXPECT_TRUE(report["reset"]["text"].is_string());
  }
}

TEST_F(ZelRun, ReportsEveryKindOfEnd) {
  const json pass = report_of({});
  expect_documented_report(pass, "pass");
  EXPECT_EQ(pass["exit_status"], 0);
  EXPECT_EQ(pass["faults"], json::array()) << "a board's run, no fault injected";
  EXPECT_EQ(pass["phases"].size(), std::size(PHASES));
  EXPECT_EQ(pass["reset"], json({{"duration_ns", 1652100}, {"text", "1.6521ms"}}));

  const json error = report_of({"--fault", "tdi-stuck"});
  expect_documented_report(error, "error");
  EXPECT_EQ(error["exit_status"], 1);
  EXPECT_EQ(error["error"]["debug"], "Timeout(\"TDI instruction\")");
  EXPECT_EQ(error["phases"].back()["name"], "release");

  const json failed = report_of({"--fault", "word-survives-reset"});
  expect_documented_report(failed, "check-failed");
  EXPECT_EQ(failed["exit_status"], 101);
  // An injected fault is never taken for a board's failure: the report names it.
  EXPECT_EQ(failed["faults"], json::parse(R"([{"fault":"word-survives-reset","fired":1}])"));
  EXPECT_EQ(failed["check_failure"]["words"],
            json::parse(R"([{"tile":735,"address":"0x80000","value":"0x7e007e00"}])"));

  // A 128-tile device cannot take the reset of 1472 tiles: the device refuses it.
  const json refused = report_of({"--tiles", "128"});
  expect_documented_report(refused, "refused");
  EXPECT_EQ(refused["exit_status"], EXIT_REFUSED);
  EXPECT_FALSE(refused["refusals"].empty());
}

// The check addresses tile 735: a 64-tile device refuses that rather than answer for a tile it
// does not have, each refusal said once with its count.
TEST(ZelRunSmallDevice, ATileTheDeviceLacksIsRefusedNotAnswered) {
  TempDirectory dir;
  ASSERT_EQ(zel({"fixtures", dir.directory(), "--tiles", "64"}).status, 0);
  const CommandRun ran = zel({"run", "--tiles", "64", dir.path("configuration.zelcfg"),
                              dir.path("idle.package"), dir.path("bootloader.elf")});
  EXPECT_EQ(ran.status, EXIT_REFUSED);
  EXPECT_NE(ran.err.find("\nzel_sim: tile 735: write of its debug window, but the device has "
                         "tiles 0 to 63 ("),
            std::string::npos)
      << ran.err;
}

TEST_F(ZelRun, RefusalsOfTheSimulatedDeviceEndTheRunWithStatusThree) {
  const CommandRun ran = run({"--tiles", "128"});
  EXPECT_EQ(ran.status, EXIT_REFUSED);
  EXPECT_NE(ran.err.find("\nzel_sim: autoloader: "), std::string::npos) << ran.err;
}

// A fault that could have missed its mark is told apart from one that struck.
// A fault that could have missed its mark is told apart from one that struck: one line for every
// --fault, a warning for one that never fired, and the same in the report.
TEST_F(ZelRun, EachFaultSaysHowManyTimesItFired) {
  const CommandRun ran =
      run({"--report", dir_.path("r.json"), "--fault", "word-survives-reset", "--fault",
           "ioctl-fails=detach-buffer", "--fault", "poison-does-not-stick=2:0x4c000"});
  EXPECT_EQ(ran.status, 101);
  const std::string tail =
      "zel run: fault word-survives-reset fired 1 time\n"
      "zel run: fault ioctl-fails=detach-buffer fired 1 time\n"
      "zel run: warning: fault poison-does-not-stick=2:0x4c000 never fired\n";
  EXPECT_TRUE(ran.err.ends_with(tail)) << ran.err;
  std::ifstream file(dir_.path("r.json"));
  const json report = json::parse(file);
  EXPECT_EQ(report["faults"][2], json::parse(R"({"fault":"poison-does-not-stick=2:0x4c000",
                                                 "fired":0})"));
  EXPECT_EQ(report["warnings"],
            json::parse(R"(["fault poison-does-not-stick=2:0x4c000 never fired"])"));

  // A switch of the device's make-up counts too.
  const CommandRun absent = run({"--fault", "device-absent"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_TRUE(absent.err.ends_with("zel run: fault device-absent fired 1 time\n")) << absent.err;
}

TEST_F(ZelRun, OutputsThatCannotBeWrittenEndTheCommandWithAnError) {
  const CommandRun full = run({"--trace", "/dev/full"});
  EXPECT_EQ(full.status, 1);
  EXPECT_TRUE(full.err.ends_with(
      "zel run: cannot write trace \"/dev/full\": No space left on device (ENOSPC)\n"))
      << full.err;

  const std::string folder = dir_.path("no/such/folder");
  const CommandRun missing = run({"--report", folder + "/report.json"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            fmt::format("zel run: cannot write report \"{}/report.json\": No such file or "
                        "directory (ENOENT)\n",
                        folder));
  EXPECT_EQ(missing.out, "") << "the run does not start";

  // An empty path (a script's unset variable) is that path, never the option left out.
  const CommandRun no_report = run({"--report", ""});
  EXPECT_EQ(no_report.status, 1);
  EXPECT_EQ(no_report.err,
            "zel run: cannot write report \"\": No such file or directory (ENOENT)\n");
  const CommandRun no_device = run({"--device", ""});
  EXPECT_EQ(no_device.status, 1);
  EXPECT_EQ(no_device.out, "") << "never the simulated device's pass";
  EXPECT_TRUE(no_device.err.starts_with("Error: Io { operation: \"open ZEL device\""))
      << no_device.err;
}

TEST_F(ZelRun, LogLinesCannotBeForgedByTheInputs) {
  zel_package::Application app = zel_fixtures::idle_application(256);
  app.compiler_version = "1.3.0\nt_ns=0 INFO zel_driver: forged";
  const auto package = zel_fixtures::write_package(app);
  std::ofstream(dir_.path("idle.package"), std::ios::binary)
      .write(reinterpret_cast<const char*>(package.data()),
             static_cast<std::streamsize>(package.size()));
  const CommandRun ran = run({"--log", "info"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  std::istringstream lines(ran.err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_match(line, std::regex("t_ns=[0-9]+ INFO zel_(driver|package): .*")))
        << line;
    EXPECT_NE(line, "t_ns=0 INFO zel_driver: forged");
  }
  EXPECT_NE(ran.err.find("compiler=\"1.3.0\\nt_ns=0 INFO zel_driver: forged\""), std::string::npos)
      << ran.err;
}

}  // namespace
}  // namespace zel
