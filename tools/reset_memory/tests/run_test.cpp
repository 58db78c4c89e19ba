#include "reset_memory/run.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "reset_memory/memory_check.hpp"
#include "tool_fixture.hpp"
#include "zel_base/forwarding_backend.hpp"
#include "zel_driver/kernel_interface.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/tile_debug.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_sim/sim_device.hpp"

namespace reset_memory {
namespace {

using testing::expect_released;
using testing::run_tool;
using testing::ToolFiles;
using testing::ToolRun;
using zel_sim::SimConfig;
using zel_sim::SimDevice;
using zel_sim::TraceOp;

constexpr const char* NOT_FOUND =
    "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }";

// Where in the trace the tool's check begins: its first TILE_RUN_BREAK setup write.
std::size_t first_setup_write(const SimDevice& sim) {
  const auto& records = sim.trace().records();
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].op == TraceOp::Store && records[i].value == TILE_DEBUG_SETUP) return i;
  }
  return records.size();
}

std::size_t stores_after(const SimDevice& sim, std::size_t from, std::uint32_t offset,
                         std::optional<std::uint32_t> value = std::nullopt) {
  std::size_t n = 0;
  const auto& records = sim.trace().records();
  for (std::size_t i = from; i < records.size(); ++i) {
    if (records[i].op == TraceOp::Store && records[i].offset == offset &&
        (!value || records[i].value == value)) {
      ++n;
    }
  }
  return n;
}

std::size_t instructions(const SimDevice& sim, std::uint32_t word) {
  std::size_t n = 0;
  for (const auto& record : sim.trace().records()) {
    if (record.op == TraceOp::Store && record.value == word && record.offset &&
        *record.offset >= zel_driver::TILE_DEBUG_BASE &&
        *record.offset % zel_driver::TILE_DEBUG_STRIDE == 4 * zel_driver::TILE_DEBUG_INSTRUCTION) {
      ++n;
    }
  }
  return n;
}

TEST(ResetMemory, NoArgumentsNeverTouchesTheDevice) {
  SimDevice sim(SimConfig{.trace = true});
  ToolRun result = run_tool({}, sim);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: \"configuration file required\"\n");
  EXPECT_TRUE(sim.trace().records().empty());
}

TEST(ResetMemory, AbsentDeviceNodeIsReportedAsNotFound) {
  SimDevice sim(SimConfig{.node_path = std::nullopt});
  ToolRun result = run_tool({"config.bin"}, sim);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "Error: Io { operation: \"open ZEL device\", source: Os { code: 2, kind: NotFound, "
            "message: \"No such file or directory\" } }\n");
}

TEST(ResetMemory, WholeRunPassesOnA1472TileDevice) {
  ToolFiles files(1472);
  SimDevice sim(SimConfig{.trace = true});
  std::vector<std::string> arguments = files.arguments();
  arguments.push_back("ignored fourth argument");
  ToolRun result = run_tool(arguments, sim);

  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out.starts_with("memory reset: ")) << result.out;
  EXPECT_TRUE(result.out.ends_with("\npoison/reset/readback PASS\n")) << result.out;
  expect_released(sim);
  EXPECT_TRUE(sim.refusals().empty());

  // The check's own traffic: 10 run-break setup writes, 25 poison stores, 25 + 25 loads.
  std::size_t setup_writes = 0;
  for (std::uint16_t tile : TILES_UNDER_TEST) {
    setup_writes += stores_after(sim, 0, 0x30004 + 64 * tile, TILE_DEBUG_SETUP);
  }
  EXPECT_EQ(setup_writes, 10u);
  EXPECT_EQ(stores_after(sim, 0, 0x46fc4, TILE_DEBUG_SETUP), 2u);  // tile 1471
  EXPECT_EQ(instructions(sim, zel_driver::tdi_instruction::TDI_STORE_WORD), 25u);
  EXPECT_EQ(instructions(sim, zel_driver::tdi_instruction::TDI_LOAD_WORD), 50u);
  // Two bring-ups: one before the load, one before the reset.
  EXPECT_EQ(std::ranges::count(sim.trace().ioctl_requests(), zel_driver::IOCTL_MAILBOX), 2);
  std::size_t last_mailbox = 0, last_autoloader_store = 0;
  const auto& records = sim.trace().records();
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].request == zel_driver::IOCTL_MAILBOX) last_mailbox = i;
    if (records[i].op == TraceOp::Store && records[i].offset == zel_driver::AUTOLOADER_CONTROL) {
      last_autoloader_store = i;
    }
  }
  EXPECT_LT(last_mailbox, last_autoloader_store);
}

TEST(ResetMemory, AWordThatSurvivesTheResetFailsTheCheck) {
  ToolFiles files;
  SimDevice sim;
  sim.faults().tile_words_surviving_reset.push_back({735, 0x80000});
  ToolRun result = run_tool(files.arguments(), sim);

  EXPECT_EQ(result.status, 101);
  EXPECT_TRUE(result.out.starts_with("memory reset: ")) << result.out;
  EXPECT_EQ(result.out.find("PASS"), std::string::npos);
  EXPECT_EQ(result.err,
            "readback check failed: 1 of 25 poisoned words not zero after the reset: tile 735 "
            "address 0x80000 reads 0x7e007e00\n"
            "assertion `left == right` failed\n"
            "  left: 1\n"
            " right: 0\n");
  expect_released(sim);
}

// Every word under test is poisoned and read back, and any value but 0 counts against the reset.
TEST(ResetMemory, TheReportNamesEveryWordNotZeroAfterTheReset) {
  // The reset leaves every poisoned word as it was, and one of them holds junk by the readback.
  struct Junk : RunObserver {
    SimDevice* sim;
    void phase(std::string_view name) override {
      if (name == "readback") sim->tile_memory().write_word(63, 0xa0000, 0x10);
    }
  };
  ToolFiles files;
  SimDevice sim;
  Junk junk;
  junk.sim = &sim;
  std::string words;
  for (const std::uint32_t tile : {0, 1, 63, 735, 1471}) {
    for (const std::uint32_t address : {0x4c000, 0x60000, 0x80000, 0xa0000, 0xe7ffc}) {
      sim.faults().tile_words_surviving_reset.push_back({tile, address});
      const std::uint32_t value = tile == 63 && address == 0xa0000 ? 0x10 : 0x7e007e00;
      words += fmt::format("{}tile {} address 0x{:x} reads 0x{:x}", words.empty() ? "" : "; ", tile,
                           address, value);
    }
  }
  ToolRun result = run_tool(files.arguments(), sim, RunSettings{.observer = &junk});

  EXPECT_EQ(result.status, 101);
  EXPECT_EQ(result.err,
            "readback check failed: 25 of 25 poisoned words not zero after the reset: " + words +
                "\nassertion `left == right` failed\n"
                "  left: 25\n"
                " right: 0\n");
}

TEST(ResetMemory, APoisonWriteThatDoesNotStickStopsTheRunAtOnce) {
  ToolFiles files;
  SimDevice sim(SimConfig{.trace = true});
  sim.faults().corrupted_stores.push_back({0, 0x4c000, 1});
  ToolRun result = run_tool(files.arguments(), sim);

  EXPECT_EQ(result.status, 101);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "poison check failed: tile 0 address 0x4c000 did not hold the poison value after it "
            "was written\n"
            "assertion `left == right` failed\n"
            "  left: [2113961473]\n"
            " right: [2113961472]\n");
  // Nothing after the failed word: no other store, no re-initialization, no reset.
  EXPECT_EQ(instructions(sim, zel_driver::tdi_instruction::TDI_STORE_WORD), 1u);
  EXPECT_EQ(std::ranges::count(sim.trace().ioctl_requests(), zel_driver::IOCTL_MAILBOX), 1);
  const std::size_t check = first_setup_write(sim);
  EXPECT_EQ(stores_after(sim, check, zel_driver::AUTOLOADER_CONTROL), 0u);
  expect_released(sim);
}

TEST(ResetMemory, ErrorsComeInTheOrderOfTheRun) {
  ToolFiles files;
  const std::string bad_image =
      files.write("bad.zelcfg", std::vector<std::byte>(11, std::byte{'Z'}));
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string err;
  };
  const Case cases[] = {
      {"missing image before missing package",
       {files.missing("none.zelcfg")},
       fmt::format("Error: {}\n", NOT_FOUND)},
      {"malformed image before missing package",
       {bad_image},
       "Error: Invalid(\"bad configuration image\")\n"},
      {"package argument", {files.config()}, "Error: \"idle package required\"\n"},
      {"bootloader argument, package not opened",
       {files.config(), files.missing("none.package")},
       "Error: \"bootloader ELF required\"\n"},
      {"package file before bootloader file",
       {files.config(), files.missing("none.package"), files.missing("none.elf")},
       fmt::format("Error: {}\n", NOT_FOUND)},
      {"bootloader file",
       {files.config(), files.package(), files.missing("none.elf")},
       fmt::format("Error: {}\n", NOT_FOUND)},
      {"package that is no package",
       {files.config(), files.config(), files.bootloader()},
       "Error: Capnp("},
  };
  for (const Case& c : cases) {
    SimDevice sim(SimConfig{.trace = true});
    ToolRun result = run_tool(c.arguments, sim);
    EXPECT_EQ(result.status, 1) << c.name;
    EXPECT_EQ(result.out, "") << c.name;
    EXPECT_TRUE(result.err.starts_with(c.err.substr(0, c.err.size() - 1)))
        << c.name << ": " << result.err;
    expect_released(sim);
  }
}

TEST(ResetMemory, TheArgumentErrorsComeAfterTheDeviceWasBroughtUp) {
  ToolFiles files;
  SimDevice sim(SimConfig{.trace = true});
  ToolRun result = run_tool({files.config()}, sim);
  EXPECT_EQ(result.err, "Error: \"idle package required\"\n");
  // Initialized, replayed (one CCSR read per replayed record) and the sync registers cleared.
  EXPECT_EQ(std::ranges::count(sim.trace().ioctl_requests(), zel_driver::IOCTL_MAILBOX), 1);
  EXPECT_GT(sim.trace().count(TraceOp::Load, zel_driver::CCSR), 100u);
  EXPECT_EQ(stores_after(sim, 0, zel_driver::HSP_SYNC_CONTROL_1, 0), 1u);
}

TEST(ResetMemory, PackageConfigurationWritesReachTheDeviceAsTheyStand) {
  ToolFiles files;
  zel_package::Application application = zel_fixtures::idle_application(64);
  constexpr std::uint32_t MARKER_OFFSET = 0x7fff0, MARKER = 0x5a5a1234;
  application.device_config_writes = {{zel_driver::HSP_SYNC_CONTROL_0, 0}, {MARKER_OFFSET, MARKER}};
  const std::string package = files.write("sync.package", zel_fixtures::write_package(application));
  SimDevice sim(SimConfig{.trace = true});
  ToolRun result = run_tool({files.config(), package, files.bootloader()}, sim);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(stores_after(sim, 0, MARKER_OFFSET, MARKER), 1u);
  // Right before the package's second write comes its first, to 0x302c, skipped by nothing.
  const auto& records = sim.trace().records();
  std::size_t package_write = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].op == TraceOp::Store && records[i].value == MARKER) package_write = i;
  }
  ASSERT_GT(package_write, 0u);
  EXPECT_EQ(records[package_write - 1].offset, zel_driver::HSP_SYNC_CONTROL_0);
  EXPECT_EQ(records[package_write - 1].op, TraceOp::Store);
}

TEST(ResetMemory, TheDeviceIsReleasedBeforeTheErrorLine) {
  // A stream that looks at the simulated kernel the moment the line is written.
  struct WatchingBuffer : std::stringbuf {
    const SimDevice* sim;
    std::optional<std::size_t> descriptors_at_write;
    int sync() override {
      if (!descriptors_at_write)
        descriptors_at_write = sim->open_descriptors() + sim->live_mappings();
      return std::stringbuf::sync();
    }
  };
  ToolFiles files;
  SimDevice sim;
  WatchingBuffer buffer;
  buffer.sim = &sim;
  std::ostream err(&buffer);
  std::ostringstream out;
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  const int status = run(std::vector<std::string>{files.config()}, sim, out, err);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(buffer.str(), "Error: \"idle package required\"\n");
  EXPECT_EQ(buffer.descriptors_at_write, 0u);
}

// A backend that sends the process an interrupt and a termination signal in the middle of
// the run, as an operator pressing Ctrl-C would.
class InterruptingBackend final : public zel_base::ForwardingBackend {
 public:
  explicit InterruptingBackend(SimDevice& sim) : ForwardingBackend(sim) {}
  int ioctl(int fd, unsigned long request, unsigned long argument) override {
    if (request == zel_driver::IOCTL_MAILBOX && !sent_) {
      sent_ = true;
      ::raise(SIGINT);
      ::raise(SIGTERM);
    }
    return inner().ioctl(fd, request, argument);
  }

 private:
  bool sent_ = false;
};

TEST(ResetMemory, InterruptAndTerminationSignalsStayPendingDuringTheRun) {
  ToolFiles files;
  SimDevice sim;
  InterruptingBackend backend(sim);
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  std::ostringstream out, err;
  const int status = run(files.arguments(), backend, out, err);

  sigset_t pending;
  sigpending(&pending);
  const bool interrupt_pending = sigismember(&pending, SIGINT);
  const bool termination_pending = sigismember(&pending, SIGTERM);
  // Take the two signals before the old mask comes back, or they would end the test.
  sigset_t taken;
  sigemptyset(&taken);
  sigaddset(&taken, SIGINT);
  sigaddset(&taken, SIGTERM);
  const timespec no_wait{};
  while (sigtimedwait(&taken, nullptr, &no_wait) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);

  EXPECT_EQ(status, 0) << err.str();
  EXPECT_TRUE(out.str().ends_with("poison/reset/readback PASS\n"));
  EXPECT_TRUE(interrupt_pending);
  EXPECT_TRUE(termination_pending);
}

// Passes everything on, and once, after the first TILE_RUN_BREAK setup, also writes a debug
// register of the same tile that the device does not use.
class StrayWrite final : public zel_base::ForwardingBackend {
 public:
  using ForwardingBackend::ForwardingBackend;
  void store(volatile std::uint32_t* reg, std::uint32_t value) override {
    inner().store(reg, value);
    if (value == TILE_DEBUG_SETUP && !done_) {
      done_ = true;
      inner().store(reg + 4, 0);  // register 1 + 4: register 5
    }
  }

 private:
  bool done_ = false;
};

void run_passing_with_a_stray_write() {
  ToolFiles files;
  SimDevice sim;
  StrayWrite backend(sim);
  const ToolRun result = run_tool(files.arguments(), backend);
  EXPECT_EQ(result.status, 0) << result.err;
}

// A run the device refused is not a pass, whatever the tool's status: the device's refusal
// fails the test when the device goes.
TEST(ResetMemory, ARunTheDeviceRefusedFailsAtTeardownEvenWhenTheToolPasses) {
  EXPECT_NONFATAL_FAILURE(run_passing_with_a_stray_write(),
                          "the simulated device refused: tile 0: write of debug register 5, which "
                          "the tile does not use");
}

}  // namespace
}  // namespace reset_memory
