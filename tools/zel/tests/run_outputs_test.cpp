// `zel run`'s outputs under load and odd inputs: reports and traces that are whole and say the
// command's own status, standard output that carries one thing, a device held by one run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "zel_base/error.hpp"
#include "zel_base/fd_output.hpp"
#include "zel_run_fixture.hpp"

extern char** environ;

namespace zel {
namespace {

using nlohmann::json;
using testing::CommandRun;
using testing::lines_of;
using testing::zel;
using testing::zel_to;
using testing::ZelRun;

json read_json(const std::string& path) {
  std::ifstream file(path);
  return json::parse(file);
}

// The files in `directory` whose names start with `prefix`.
std::vector<std::string> files_starting(const std::string& directory, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(prefix)) names.push_back(name);
  }
  return names;
}

TEST_F(ZelRun, TheReportIsWrittenLastAndHoldsTheCommandsStatus) {
  const CommandRun ran = run({"--trace", "/dev/full", "--report", dir_.path("r.json")});
  EXPECT_EQ(ran.status, 1) << "a trace lost is not a pass";
  const json report = read_json(dir_.path("r.json"));
  EXPECT_EQ(report["result"], "pass") << "the run itself passed";
  EXPECT_EQ(report["exit_status"], 1);
  EXPECT_EQ(report["output_errors"],
            json::array({"cannot write trace \"/dev/full\": No space left on device (ENOSPC)"}));
}

// Written whole and renamed into place: a command that ends early leaves the path as it was,
// and none leaves a temporary file behind.
TEST_F(ZelRun, AReportIsInPlaceWholeOrNotAtAll) {
  const std::string report = dir_.path("r.json");
  std::ofstream(report) << "the previous report";
  const CommandRun early = run({"--report", report, "--trace", dir_.path("no/such/t.jsonl")});
  EXPECT_EQ(early.status, 1);
  EXPECT_EQ(lines_of(report), std::vector<std::string>{"the previous report"});

  EXPECT_EQ(run({"--report", report, "--trace", dir_.path("t.jsonl")}).status, 0);
  EXPECT_EQ(read_json(report)["result"], "pass");
  EXPECT_EQ(files_starting(dir_.directory(), "."), std::vector<std::string>{});
}

// Concurrent runs given one report path: each report is whole, whichever lands last.
TEST_F(ZelRun, ConcurrentRunsOnOneReportPathLeaveOneWholeReport) {
  const std::string report = dir_.path("shared.json");
  auto spawn = [&](std::vector<std::string> options) {
    std::vector<std::string> arguments = run_arguments(std::move(options));
    arguments.insert(arguments.begin(), ZEL_EXECUTABLE);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, ZEL_EXECUTABLE, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  };
  for (int pair = 0; pair < 10; ++pair) {
    const pid_t clean = spawn({"--report", report});
    const pid_t faulty = spawn({"--report", report, "--fault", "word-survives-reset"});
    for (pid_t pid : {clean, faulty}) ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    const json whole = read_json(report);  // throws, failing the test, on half a report
    EXPECT_TRUE(whole["result"] == "pass" || whole["result"] == "check-failed") << whole;
  }
  EXPECT_EQ(files_starting(dir_.directory(), "."), std::vector<std::string>{});
}

// Digests read no more than the run would: a huge sparse file or a file of the system's own is
// not hashed, and the report says why.
TEST_F(ZelRun, DigestsAreBoundedByWhatTheRunReads) {
  const std::string sparse = dir_.path("sparse.elf");
  std::ofstream(sparse) << "";
  ASSERT_EQ(::truncate(sparse.c_str(), off_t{8} << 30), 0);
  CommandRun ran = zel({"run", "--report", dir_.path("r.json"), dir_.path("configuration.zelcfg"),
                        "/proc/self/pagemap", sparse});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(std::ranges::count(ran.err, '\n'), 1) << ran.err;
  const json inputs = read_json(dir_.path("r.json"))["inputs"];
  EXPECT_TRUE(inputs[0].contains("sha256"));
  EXPECT_EQ(inputs[1]["error"],
            "its size changed while it was read, or is not its real size: not read");
  EXPECT_EQ(inputs[2]["error"], "larger than 16777216 bytes: not read");
}

// Standard output that carries JSON carries nothing else, however the run ends; a trace taken
// on standard output is the file trace.
TEST_F(ZelRun, StandardOutputCarriesOnlyTheJsonAskedFor) {
  const struct {
    const char* result;
    std::vector<std::string> options;
  } ends[] = {
      {"pass", {}},
      {"error", {"--fault", "tdi-stuck"}},
      {"check-failed", {"--fault", "word-survives-reset"}},
      {"refused", {"--tiles", "128"}},
  };
  for (const auto& end : ends) {
    SCOPED_TRACE(end.result);
    std::vector<std::string> options = end.options;
    options.insert(options.begin(), {"--report", "-"});
    const CommandRun reported = run(options);
    EXPECT_EQ(json::parse(reported.out)["result"], end.result);

    options = end.options;
    options.insert(options.begin(), {"--trace", "-"});
    const CommandRun traced = run(options);
    std::istringstream lines(traced.out);
    for (std::string line; std::getline(lines, line);) EXPECT_NO_THROW(json::parse(line)) << line;
    std::ofstream(dir_.path("stdout.jsonl")) << traced.out;
    options[1] = dir_.path("file.jsonl");
    run(options);
    const CommandRun diff =
        zel({"trace", "diff", dir_.path("stdout.jsonl"), dir_.path("file.jsonl")});
    EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
  }
}

TEST_F(ZelRun, StandardOutputThatCannotBeWrittenIsNeverASuccess) {
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  {
    zel_base::FdOutput out(full);
    const CommandRun ran = zel_to(run_arguments({}), out);
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err,
              "Error: \"cannot write the result lines: No space left on device (os error 28)\"\n");
  }
  {
    zel_base::FdOutput out(full);
    const CommandRun listed = zel_to({"faults"}, out);
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.err, "zel: cannot write standard output: No space left on device (ENOSPC)\n");
  }
  ::close(full);
}

// A path is printed as error texts print texts: a newline in it cannot split the line.
TEST_F(ZelRun, PathsArePrintedEscaped) {
  const CommandRun ran = run({"--trace", dir_.path("no\nsuch/\x1b[2Jtrace")});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(std::ranges::count(ran.err, '\n'), 1) << ran.err;
  EXPECT_NE(ran.err.find("no\\nsuch/\\u{1b}[2Jtrace"), std::string::npos) << ran.err;
}

// A node another program holds: the run ends at once with the holder named, having asked
// nothing of the device.
TEST_F(ZelRun, ADeviceHeldByAnotherRunIsNotTouched) {
  const std::string node = dir_.path("node");
  std::ofstream(node) << "";
  const int held = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  const CommandRun ran =
      run({"--device", node, "--trace", dir_.path("t.jsonl"), "--report", dir_.path("r.json")});
  ::close(held);
  EXPECT_EQ(ran.status, 1);
  const std::string busy = fmt::format("device busy: held by PID {}", ::getpid());
  EXPECT_EQ(ran.err, fmt::format("zel run: {}: {}\n", zel_base::debug_quote(node), busy));
  std::vector<std::string> ops;
  for (const std::string& line : lines_of(dir_.path("t.jsonl")))
    ops.push_back(json::parse(line)["op"]);
  EXPECT_EQ(ops, (std::vector<std::string>{"trace", "open", "lock", "close", "end"}));
  const json report = read_json(dir_.path("r.json"));
  EXPECT_EQ(report["result"], "error");
  EXPECT_EQ(report["error"]["display"], busy);
  EXPECT_EQ(report["phases"], json::array());
}

// The node's errors name the node, what it is and the likely cause.
TEST_F(ZelRun, ANodeThatCannotBeOpenedIsDescribed) {
  const std::string missing = dir_.path("zel9");
  const CommandRun absent = run({"--device", missing});
  EXPECT_EQ(absent.status, 1);
  EXPECT_EQ(absent.err,
            fmt::format("Error: Io {{ operation: \"open ZEL device\", source: Os {{ code: 2, kind: "
                        "NotFound, message: \"No such file or directory\" }} }}\nzel run: {} does "
                        "not exist: is the ZEL kernel driver loaded?\n",
                        zel_base::debug_quote(missing)));

  // A node without a driver behind it answers ENXIO, as a socket does.
  const std::string socket = dir_.path("zel8");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{.sun_family = AF_UNIX};
  socket.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const CommandRun unbound = run({"--device", socket});
  ::close(listener);
  EXPECT_EQ(unbound.status, 1);
  EXPECT_TRUE(
      unbound.err.ends_with("no driver is bound to it (is the ZEL kernel driver loaded?)\n"))
      << unbound.err;
  EXPECT_NE(unbound.err.find(" is srwx"), std::string::npos) << unbound.err;
}

}  // namespace
}  // namespace zel
