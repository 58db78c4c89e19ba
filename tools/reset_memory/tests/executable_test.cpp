// The built executable, on the real system calls: its main() runs the tool on /dev/zel0.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace {

struct ProcessRun {
  int status;
  std::string err;
};

// Runs the executable with `arguments` (already quoted for the shell), capturing standard error.
ProcessRun run_executable(const std::string& arguments) {
  const std::string command =
      std::string(RESET_MEMORY_EXECUTABLE) + " " + arguments + " 2>&1 >/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string err;
  std::array<char, 512> chunk;
  while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe))
    err.append(chunk.data(), n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
}

TEST(ResetMemoryExecutable, WithoutArgumentsAsksForTheConfigurationFile) {
  const ProcessRun run = run_executable("");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error: \"configuration file required\"\n");
}

TEST(ResetMemoryExecutable, WithoutTheDeviceNodeReportsItMissing) {
  if (std::filesystem::exists("/dev/zel0")) GTEST_SKIP() << "this machine has the device";
  const ProcessRun run = run_executable("configuration.zelcfg");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "Error: Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, "
            "message: \"No such file or directory\" } }\n");
}

}  // namespace
