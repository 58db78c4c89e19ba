#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_driver/autoloader.hpp"
#include "zel_driver/registers.hpp"

namespace zel_driver {
namespace {

using namespace std::chrono_literals;

// Bytes 01 02 03 04 05 ... (mod 256): word i is distinct and little-endian shows.
std::vector<std::byte> counting_prefix(std::size_t size) {
  std::vector<std::byte> prefix(size);
  for (std::size_t i = 0; i < size; ++i) prefix[i] = std::byte(i + 1);
  return prefix;
}

// The call gave up 2 s after it stored `value` (a command), without a sleep after its last read.
void expect_gave_up_two_seconds_after(const zel_sim::SimDevice& sim, std::uint32_t value) {
  const std::vector<zel_sim::TraceRecord>& trace = sim.trace().records();
  const auto command = std::find_if(trace.begin(), trace.end(), [&](const auto& r) {
    return r.op == zel_sim::TraceOp::Store && r.value == value;
  });
  ASSERT_NE(command, trace.end()) << value;
  const auto waited = trace.back().time - command->time;
  EXPECT_GE(waited, 2s);
  EXPECT_LT(waited, 2s + 200us);
}

// The accesses a call must make up to and including `command`, then nothing but polling
// loads of AUTOLOADER_CONTROL; returns where the polling ends.
std::size_t expect_polling_after(const std::vector<std::string>& accesses, std::size_t from) {
  std::size_t at = from;
  while (at < accesses.size() && accesses[at] == "L 0x2068") ++at;
  EXPECT_GT(at, from) << "no wait after the command";
  return at;
}

TEST(InitializeTileMemory, RegisterSequence) {
  struct Case {
    std::size_t prefix_size;
    std::size_t tiles;
    std::uint32_t first_zone;
    std::uint32_t window_zone;
    std::uint32_t second_command;
  };
  const Case cases[] = {
      {1024, 1, 0x2000400, 0x209c001, 0x13f},
      {2048, 1472, 0x2000800, 0x209c002, 0xb7f3f},
      {4096, 2048, 0x2001000, 0x209c004, 0xfff3f},
  };
  for (const Case& c : cases) {
    OpenedSim opened(zel_sim::SimConfig{.tile_count = 2048});
    const std::vector<std::byte> prefix = counting_prefix(c.prefix_size);
    ASSERT_TRUE(opened.device.initialize_tile_memory(c.tiles, prefix)) << c.prefix_size;

    std::vector<std::string> expected = {"S 0x2068=0x0"};
    for (std::size_t i = 0; i < c.prefix_size / 4; ++i) {
      const std::uint32_t word = (4 * i + 1) % 256 | (4 * i + 2) % 256 << 8 |
                                 (4 * i + 3) % 256 << 16 | (4 * i + 4) % 256 << 24;
      expected.push_back(fmt::format("S 0x2070=0x{:x}", word));
      if (i % 32 == 31) expected.push_back("L 0x2068");
    }
    expected.push_back(fmt::format("S 0x206c=0x{:x}", c.first_zone));
    expected.push_back("S 0x2068=0x10013f");
    const std::vector<std::string> accesses = opened.accesses();
    ASSERT_GE(accesses.size(), expected.size());
    ASSERT_EQ(std::vector(accesses.begin(), accesses.begin() + expected.size()), expected);
    EXPECT_EQ(expected[1], "S 0x2070=0x4030201");

    std::size_t at = expect_polling_after(accesses, expected.size());
    ASSERT_GE(accesses.size(), at + 2);
    EXPECT_EQ(accesses[at], fmt::format("S 0x206c=0x{:x}", c.window_zone));
    EXPECT_EQ(accesses[at + 1], fmt::format("S 0x2068=0x{:x}", c.second_command));
    EXPECT_EQ(expect_polling_after(accesses, at + 2), accesses.size());

    // The device did the work: the prefix at the window start of the first and last tile.
    EXPECT_TRUE(opened.sim.refusals().empty());
    for (const std::size_t tile : {std::size_t{0}, c.tiles - 1}) {
      EXPECT_EQ(opened.sim.tile_memory().read_bytes(static_cast<std::uint32_t>(tile), 0x4c000,
                                                    static_cast<std::uint32_t>(c.prefix_size)),
                prefix);
    }
  }
}

TEST(InitializeTileMemory, InvalidRequestsTouchNoRegister) {
  struct Case {
    std::size_t tiles;
    std::size_t prefix_size;
  };
  const Case cases[] = {{0, 1024}, {2049, 4096}, {SIZE_MAX, 1024}, {1, 0},
                        {1, 1000}, {1, 1536},    {1, 5120},        {1472, 1023}};
  for (const Case& c : cases) {
    OpenedSim opened;
    auto initialized =
        opened.device.initialize_tile_memory(c.tiles, counting_prefix(c.prefix_size));
    ASSERT_FALSE(initialized) << c.tiles << " " << c.prefix_size;
    EXPECT_EQ(initialized.error().debug(), "Invalid(\"invalid autoloader memory initialization\")");
    EXPECT_TRUE(opened.accesses().empty());
  }
}

TEST(ResetTileMemory, ZeroesEveryPoisonedWord) {
  OpenedSim opened;
  zel_sim::TileMemory& memory = opened.sim.tile_memory();
  const std::uint32_t tiles[] = {0, 5, 700, 1000, 1471};
  const std::uint32_t addresses[] = {0x4c000, 0x4c3fc, 0x50000, 0x9a000, 0xe7ffc};
  for (const std::uint32_t tile : tiles) {
    for (const std::uint32_t address : addresses) memory.write_word(tile, address, 0xdeadbeef);
  }
  ASSERT_TRUE(opened.device.reset_tile_memory(1472));
  for (const std::uint32_t tile : tiles) {
    for (const std::uint32_t address : addresses) {
      EXPECT_EQ(memory.read_word(tile, address), 0u) << tile << " " << address;
    }
  }
  for (const std::string& access : opened.accesses()) {
    if (access.starts_with("S 0x2070=")) {
      EXPECT_EQ(access, "S 0x2070=0x0");
    }
  }
}

TEST(InitializeTileMemory, StuckBusyBitTimesOutWithoutTheSecondCommand) {
  OpenedSim opened;
  opened.sim.faults().autoloader_busy_forever = true;
  auto initialized = opened.device.reset_tile_memory(1472);
  ASSERT_FALSE(initialized);
  EXPECT_EQ(initialized.error().debug(), "Timeout(\"hardware autoloader\")");

  expect_gave_up_two_seconds_after(opened.sim, 0x10013f);
  EXPECT_EQ(opened.sim.trace().stored_values(AUTOLOADER_ZONE),
            std::vector<std::uint32_t>{0x2000400});
  EXPECT_EQ(opened.sim.trace().stored_values(AUTOLOADER_CONTROL),
            (std::vector<std::uint32_t>{0, 0x10013f}));
}

TEST(InitializeTileMemory, SecondCommandNeverDoneTimesOutAfterTwoSeconds) {
  OpenedSim opened;  // 1472 tiles: the device refuses a range of 2048 and stays busy
  opened.sim.expect_refusal("beyond the device's 1472 tiles");
  auto initialized = opened.device.reset_tile_memory(2048);
  ASSERT_FALSE(initialized);
  EXPECT_EQ(initialized.error().debug(), "Timeout(\"hardware autoloader\")");
  expect_gave_up_two_seconds_after(opened.sim, 0xfff3f);
}

TEST(WaitAutoloader, ReadsUntilTheBusyBitClears) {
  OpenedSim opened;
  opened.sim.poke(AUTOLOADER_CONTROL, ~AUTOLOADER_BUSY);
  const auto start = opened.sim.now();
  EXPECT_TRUE(opened.device.wait_autoloader(2s));
  EXPECT_EQ(opened.accesses(), std::vector<std::string>{"L 0x2068"});
  EXPECT_EQ(opened.sim.now() - start, 1us);  // no sleep

  opened.sim.poke(AUTOLOADER_CONTROL, AUTOLOADER_BUSY);
  opened.sim.trace().clear();
  EXPECT_EQ(opened.device.wait_autoloader(0s).error().debug(), "Timeout(\"hardware autoloader\")");
  EXPECT_EQ(opened.accesses(), std::vector<std::string>{"L 0x2068"});

  // A read costs 1 us and 100 us pass between reads: the second read lands on the deadline,
  // which counts as passed.
  opened.sim.trace().clear();
  const auto busy_start = opened.sim.now();
  EXPECT_FALSE(opened.device.wait_autoloader(102us));
  EXPECT_EQ(opened.accesses().size(), 2u);
  EXPECT_EQ(opened.sim.now() - busy_start, 102us);
}

}  // namespace
}  // namespace zel_driver
