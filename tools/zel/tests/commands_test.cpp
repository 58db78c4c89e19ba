// The command line of zel: what each command accepts and refuses, and its exit statuses.
#include <algorithm>

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
  EXPECT_NE(run.err.find("t_ns=0 INFO zel_driver: opening ZEL device path=\"/dev/zel0\"\n"),
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

TEST_F(ZelCommands, UsageErrorsAreOneLineAndStatusTwo) {
  struct Case {
    std::vector<std::string> arguments;
    const char* err;  // the start of the line
  };
  const Case cases[] = {
      {{}, "zel: A subcommand is required"},
      {{"frobnicate"}, "zel: A subcommand is required"},
      {{"fixtures"}, "zel fixtures: DIR is required"},
      {{"fixtures", "dir", "--tiles", "100"}, "zel fixtures: --tiles: takes a multiple of 64"},
      {{"fixtures", "dir", "--tiles=4096"}, "zel fixtures: --tiles: takes a multiple of 64"},
      {{"check", "a", "b"}, "zel check: BOOTLOADER is required"},
      {{"run", "--fault"}, "zel run: --fault: 1 required"},
      {{"run", "--fault", "no-such-fault", "c"},
       "zel run: --fault: unknown fault \"no-such-fault\""},
      {{"run", "--fault", "ioctl-fails=frob", "c"},
       "zel run: --fault: fault ioctl-fails: unknown request"},
      {{"run", "--fault", "ioctl-fails=attach:0", "c"},
       "zel run: --fault: fault ioctl-fails: the error number must be positive"},
      {{"run", "--fault", "transport-map-fails=0", "c"},
       "zel run: --fault: fault transport-map-fails: the error number must be positive"},
      {{"run", "--fault=autoloader-stuck=1", "c"},
       "zel run: --fault: fault autoloader-stuck takes no value"},
      {{"run", "--fault", "word-survives-reset=x", "c"},
       "zel run: --fault: fault word-survives-reset: not a number"},
      {{"run", "--log", "loud", "c"}, "zel run: --log: loud not in {trace,debug,info}"},
      {{"run", "--verbose", "c"}, "zel run: The following argument was not expected: --verbose"},
      {{"run", "--device", "/dev/zel0", "--tiles", "64", "c"},
       "zel run: --device excludes --tiles"},
      // Faults that could never fire on the device chosen are refused before the run.
      {{"run", "--fault", "word-survives-reset=1472:0x80000", "c"},
       "zel run: fault word-survives-reset: the device has no tile 1472 (tiles 0 to 1471)"},
      {{"run", "--tiles", "64", "--fault", "context-state=64", "c"},
       "zel run: fault context-state: the device has no tile 64 (tiles 0 to 63)"},
      {{"run", "--fault", "poison-does-not-stick=0:0xe8000", "c"},
       "zel run: --fault: fault poison-does-not-stick: 0xe8000 is not a word of tile memory"},
      {{"run", "--fault", "context-state=0:7", "c"},
       "zel run: --fault: fault context-state: context 0-6"},
      {{"run", "--fault", "sync-register-stuck=0x2000", "c"},
       "zel run: --fault: fault sync-register-stuck: 0x2000 is not a host sync register"},
      {{"run", "--tiles", "128", "--fault", "batch-unacknowledged=2", "c"},
       "zel run: fault batch-unacknowledged: a load on 128 tiles sends 2 batches"},
      {{"trace"}, "zel trace: A subcommand is required"},
      {{"trace", "diff", "a"}, "zel trace diff: B is required"},
  };
  for (const Case& c : cases) {
    const CommandRun run = zel(c.arguments);
    EXPECT_EQ(run.status, EXIT_USAGE) << c.err;
    EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    EXPECT_EQ(std::ranges::count(run.err, '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
  }
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
  }
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
