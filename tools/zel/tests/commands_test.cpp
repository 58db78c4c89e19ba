// The command line of zel: what each command accepts and refuses, and its exit statuses.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "command_run.hpp"
#include "zel/fault_catalog.hpp"
#include "zel_base/version.hpp"

namespace zel {
namespace {

using testing::CommandRun;
using testing::TempDirectory;
using testing::zel;

class ZelCommands : public ::testing::Test {
 protected:
  std::vector<std::string> inputs() const {
    return {dir_.path("configuration.zelcfg"), dir_.path("idle.package"),
            dir_.path("bootloader.elf")};
  }
  TempDirectory dir_;
};

TEST_F(ZelCommands, FixturesThenRunPasses) {
  const CommandRun fixtures = zel({"fixtures", dir_.directory(), "--tiles", "128"});
  ASSERT_EQ(fixtures.status, 0) << fixtures.err;
  std::vector<std::string> arguments = {"run", "--log=info"};
  std::ranges::copy(inputs(), std::back_inserter(arguments));
  const CommandRun run = zel(arguments);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "memory reset: 1.6521ms\npoison/reset/readback PASS\n");
  // Every event line carries the run time on the simulated device's clock.
  EXPECT_NE(run.err.find("t_ns=4000 INFO zel_driver: opening ZEL device path=\"/dev/zel0\"\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(" INFO zel_package: application package read tiles=128"),
            std::string::npos);
}

TEST_F(ZelCommands, LargerFixturesCarryDataOnEveryTile) {
  ASSERT_EQ(zel({"fixtures", dir_.directory(), "--tiles", "64", "--image-bytes", "65536"}).status,
            0);
  std::vector<std::string> arguments = {"check"};
  std::ranges::copy(inputs(), std::back_inserter(arguments));
  const CommandRun check = zel(arguments);
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.out.find("tiles: 64, segments: 192"), std::string::npos) << check.out;
}

TEST_F(ZelCommands, RunPassesArgumentsOnAsTheToolWouldTakeThem) {
  const CommandRun none = zel({"run"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Error: \"configuration file required\"\n");
  const CommandRun missing = zel({"run", dir_.path("none.zelcfg")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "Error: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }\n");
}

// Every bad command line: status 2, one line on standard error that says what is wrong, and
// nothing opened (no trace written, no device node touched).
TEST_F(ZelCommands, UsageErrorsAreOneLineAndStatusTwo) {
  const std::string node = dir_.path("node");
  std::ofstream(node) << "";
  const std::string trace = dir_.path("t.jsonl");
  const std::string link = dir_.path("link");
  std::filesystem::create_symlink(node, link);
  struct Case {
    std::vector<std::string> arguments;
    std::string err;  // the whole line
  };
  const Case cases[] = {
      {{"frobnicate"}, "zel: unknown command \"frobnicate\" (zel help lists them)"},
      {{"rnu", "a", "b", "c"}, "zel: unknown command \"rnu\" (did you mean \"run\"?)"},
      {{"chek"}, "zel: unknown command \"chek\" (did you mean \"check\"?)"},
      {{"help", "nope"}, "zel: unknown command \"nope\" (zel help lists them)"},
      {{"fixtures"}, "zel fixtures: DIR is required (zel fixtures --help)"},
      {{"fixtures", "dir", "--tiles", "100"},
       "zel fixtures: --tiles: 100 is not a multiple of 64 (zel fixtures --help)"},
      {{"fixtures", "dir", "--tiles=4096"},
       "zel fixtures: --tiles: 4096 is not from 64 to 2048 (zel fixtures --help)"},
      {{"fixtures", "dir", "--image-bytes", "lots"},
       "zel fixtures: --image-bytes: \"lots\" is not a number (zel fixtures --help)"},
      {{"check", "a", "b"}, "zel check: BOOTLOADER is required (zel check --help)"},
      {{"run", "--tiles", "abc", "c"},
       "zel run: --tiles: \"abc\" is not a number (zel run --help)"},
      {{"run", "--tiles", "0", "c"}, "zel run: --tiles: 0 is not from 1 to 2048 (zel run --help)"},
      {{"run", "--log", "loud", "c"},
       "zel run: --log: \"loud\" is not a level (trace, debug or info) (zel run --help)"},
      {{"run", "--verbose", "c"},
       "zel run: The following argument was not expected: --verbose (zel run --help)"},
      {{"run", "--trace", trace, "--report", trace, "c"},
       fmt::format("zel run: --trace and --report name one file, \"{}\"", trace)},
      {{"run", "--trace", "-", "--report", "-", "c"},
       "zel run: --trace and --report cannot both be standard output"},
      // A real device is never touched over a missing or extra argument.
      {{"run", "--device", node, "--trace", trace, "c", "p"},
       "zel run: with --device, give exactly CONFIG PACKAGE BOOTLOADER (2 given)"},
      {{"run", "--device", node, "--trace", trace, "c", "p", "b", "extra"},
       "zel run: with --device, give exactly CONFIG PACKAGE BOOTLOADER (4 given)"},
      {{"run", "--device", node, "--tiles", "64", "c"},
       "zel run: --device excludes --tiles (zel run --help)"},
      // One device given twice, by one name or two, would only find itself busy.
      {{"run", "--device", node, "--device", node, "c", "p", "b"},
       fmt::format("zel run: --device \"{}\" is a device given already: its runs would find it "
                   "held by the other's",
                   node)},
      {{"run", "--device", node, "--device", link, "c", "p", "b"},
       fmt::format("zel run: --device \"{}\" is a device given already: its runs would find it "
                   "held by the other's",
                   link)},
      // Every fault error has one form: the switch as given, then what is wrong with it.
      {{"run", "--fault", "no-such-fault", "c"},
       "zel run: --fault \"no-such-fault\": no such fault (zel faults lists them)"},
      {{"run", "--fault", "ioctl-fails=frob", "c"},
       "zel run: --fault \"ioctl-fails=frob\": unknown request \"frob\""},
      {{"run", "--fault", "ioctl-fails=attach:0", "c"},
       "zel run: --fault \"ioctl-fails=attach:0\": the error number must be positive"},
      {{"run", "--fault=autoloader-stuck=1", "c"},
       "zel run: --fault \"autoloader-stuck=1\": takes no value"},
      {{"run", "--fault", "word-survives-reset=x", "c"},
       "zel run: --fault \"word-survives-reset=x\": not a number in \"x\""},
      {{"run", "--fault", "context-state=0:7", "c"},
       "zel run: --fault \"context-state=0:7\": context 0-6, state 0-3"},
      // Faults that could never fire on the device and inputs chosen are refused before the run.
      {{"run", "--fault", "word-survives-reset=1472:0x80000", "c"},
       "zel run: --fault \"word-survives-reset=1472:0x80000\": the device has no tile 1472 (tiles "
       "0 to 1471)"},
      {{"run", "--tiles", "64", "--fault", "context-state=64", "c"},
       "zel run: --fault \"context-state=64\": the device has no tile 64 (tiles 0 to 63)"},
      {{"run", "--fault", "poison-does-not-stick=0:0xe8000", "c"},
       "zel run: --fault \"poison-does-not-stick=0:0xe8000\": 0xe8000 is not a word of tile memory "
       "(0x4c000..0xe8000)"},
      {{"run", "--tiles", "128", "--fault", "batch-unacknowledged=2", "c"},
       "zel run: --fault \"batch-unacknowledged=2\": a load on 128 tiles sends 2 batches"},
      {{"run", "--fault", "marks-kept-from=26", "c"},
       "zel run: --fault \"marks-kept-from=26\": a load on 1472 tiles sets 25 marks"},
      {{"run", "--fault", "tdi-fails=100000000", "c"},
       "zel run: --fault \"tdi-fails=100000000\": a run executes 525 TDI instructions (SKIP 0 to "
       "524)"},
      {{"run", "--fault", "tdi-slow=0", "c"},
       "zel run: --fault \"tdi-slow=0\": 0 busy reads change nothing"},
      {{"trace"}, "zel trace: A subcommand is required (zel trace --help)"},
      {{"trace", "diff", "a"}, "zel trace diff: B is required (zel trace diff --help)"},
  };
  for (const Case& c : cases) {
    const CommandRun run = zel(c.arguments);
    EXPECT_EQ(run.status, EXIT_USAGE) << c.err;
    EXPECT_EQ(run.err, c.err + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(std::filesystem::exists(trace)) << c.err;
  }
}

// A fault that can strike fires at the last moment it names; one a step later is refused.
TEST_F(ZelCommands, TheBoundsOfFaultsAreThoseOfARun) {
  ASSERT_EQ(zel({"fixtures", dir_.directory()}).status, 0);
  for (const char* fault : {"tdi-fails=524", "marks-kept-from=25"}) {
    std::vector<std::string> arguments = {"run", "--fault", fault};
    std::ranges::copy(inputs(), std::back_inserter(arguments));
    const CommandRun run = zel(arguments);
    EXPECT_EQ(run.status, 1) << fault;
    EXPECT_TRUE(run.err.ends_with(fmt::format("zel run: fault {} fired 1 time\n", fault)))
        << run.err;
  }
}

// `zel`, `zel help` and `zel version` do what people type them for.
TEST_F(ZelCommands, BareHelpAndVersionWords) {
  const CommandRun bare = zel({});
  EXPECT_EQ(bare.status, EXIT_USAGE);
  EXPECT_NE(bare.err.find("Usage: zel"), std::string::npos) << bare.err;
  EXPECT_EQ(bare.out, "");
  const CommandRun help = zel({"help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: zel"), std::string::npos);
  const CommandRun help_run = zel({"help", "run"});
  EXPECT_EQ(help_run.status, 0);
  EXPECT_NE(help_run.out.find("Usage: zel run"), std::string::npos) << help_run.out;
  EXPECT_EQ(zel({"version"}).out, zel({"--version"}).out);
}

TEST_F(ZelCommands, EveryCommandHasHelpAndTheVersionNamesTheRevision) {
  for (std::vector<std::string> arguments : {std::vector<std::string>{"--help"},
                                             {"run", "--help"},
                                             {"check", "--help"},
                                             {"fixtures", "--help"},
                                             {"faults", "--help"},
                                             {"trace", "diff", "--help"}}) {
    const CommandRun help = zel(arguments);
    EXPECT_EQ(help.status, 0) << arguments.front();
    EXPECT_NE(help.out.find("Usage: zel"), std::string::npos) << help.out;
    // People read words, not the parser's types.
    for (const char* type : {"UINT", "TEXT", "INT", " in ["}) {
      EXPECT_EQ(help.out.find(type), std::string::npos) << type << " in " << help.out;
    }
    if (arguments.front() != "--help") {
      EXPECT_NE(help.out.find("Exit status: 0"), std::string::npos) << help.out;
    }
  }
  // Each command lists its own statuses, not the run's.
  EXPECT_EQ(zel({"check", "--help"}).out.find("101"), std::string::npos);
  const CommandRun version = zel({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, fmt::format("zel {} (source revision {})\n", zel_base::version(),
                                     zel_base::source_revision()));
}

TEST_F(ZelCommands, FaultsListsEverySwitchWithHowTheRunEnds) {
  const CommandRun list = zel({"faults"});
  EXPECT_EQ(list.status, 0);
  for (const FaultSwitch& fault : fault_catalog()) {
    EXPECT_NE(list.out.find(fmt::format("\n{}", fault.name)), std::string::npos) << fault.name;
  }
  EXPECT_NE(list.out.find("    --fault batch-unacknowledged=3: exit 1\n"
                          "        Error: Timeout(\"bootloader batch 3: device timeout: HSP "
                          "register 0x302c: expected 0, observed 1\")\n"),
            std::string::npos)
      << list.out;
}

}  // namespace
}  // namespace zel
