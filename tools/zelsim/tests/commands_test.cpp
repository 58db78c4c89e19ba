#include "zelsim/commands.hpp"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "zelsim/fault_catalog.hpp"

namespace zelsim {
namespace {

struct CommandRun {
  int status;
  std::string out;
  std::string err;
};

CommandRun zelsim(std::vector<std::string> arguments) {
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  std::ostringstream out, err;
  const int status = main(arguments, out, err);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return {status, out.str(), err.str()};
}

class ZelsimCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelsim-XXXXXX").string();
    directory_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }
  std::string path(const char* name) const { return (directory_ / name).string(); }

  std::filesystem::path directory_;
};

TEST_F(ZelsimCommands, FixturesThenRunPasses) {
  const CommandRun fixtures = zelsim({"fixtures", directory_.string(), "--tiles", "128"});
  ASSERT_EQ(fixtures.status, 0) << fixtures.err;
  const std::string trace = path("trace.jsonl");
  const CommandRun run =
      zelsim({"run", "--trace", trace, "--log", "info", path("configuration.zelcfg"),
              path("idle.package"), path("bootloader.elf")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.ends_with("poison/reset/readback PASS\n")) << run.out;
  EXPECT_NE(run.err.find("INFO zel_driver: loading application tile_count=128 final_mark=23"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("INFO zel_package: application package read tiles=128"),
            std::string::npos);

  std::ifstream lines(trace);
  std::string first;
  std::getline(lines, first);
  EXPECT_EQ(first, "{\"t_ns\":2000,\"op\":\"open\",\"path\":\"/dev/zel0\",\"result\":1000}");
}

TEST_F(ZelsimCommands, RunPassesArgumentsOnAsTheToolWouldTakeThem) {
  EXPECT_EQ(zelsim({"run"}).err, "Error: \"configuration file required\"\n");
  const CommandRun missing = zelsim({"run", path("none.zelcfg")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "Error: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }\n");
}

TEST_F(ZelsimCommands, RefusesWhatItCannotUse) {
  struct Case {
    std::vector<std::string> arguments;
    const char* err;
  };
  const Case cases[] = {
      {{}, "usage: zelsim"},
      {{"frobnicate"}, "usage: zelsim"},
      {{"fixtures"}, "usage: zelsim fixtures DIR [--tiles N]"},
      {{"fixtures", "dir", "--tiles", "100"}, "zelsim fixtures: --tiles takes a multiple of 64"},
      {{"fixtures", "dir", "--tiles", "4096"}, "zelsim fixtures: --tiles takes a multiple of 64"},
      {{"run", "--fault", "no-such-fault", "c"}, "zelsim run: unknown fault \"no-such-fault\""},
      {{"run", "--fault", "ioctl-fails=frob", "c"},
       "zelsim run: fault ioctl-fails: unknown request"},
      {{"run", "--fault", "autoloader-stuck=1", "c"},
       "zelsim run: fault autoloader-stuck takes no value"},
      {{"run", "--fault", "word-survives-reset=x", "c"},
       "zelsim run: fault word-survives-reset: not a number"},
      {{"run", "--log", "loud", "c"}, "zelsim run: --log takes trace, debug or info"},
      {{"run", "--verbose", "c"}, "zelsim run: unknown option --verbose"},
  };
  for (const Case& c : cases) {
    const CommandRun run = zelsim(c.arguments);
    EXPECT_EQ(run.status, 2) << c.err;
    EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
  }
}

TEST_F(ZelsimCommands, ListsEveryFault) {
  const CommandRun list = zelsim({"run", "--list-faults"});
  EXPECT_EQ(list.status, 0);
  for (const FaultSwitch& fault : fault_catalog()) {
    EXPECT_NE(list.out.find(std::string(fault.name)), std::string::npos) << fault.name;
  }
}

}  // namespace
}  // namespace zelsim
