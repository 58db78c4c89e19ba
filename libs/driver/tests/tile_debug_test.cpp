#include "zel_driver/tile_debug.hpp"

#include <functional>

#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {
namespace {

using namespace std::chrono_literals;
using namespace tdi_instruction;
using zel_sim::SimDevice;
using zel_sim::TraceOp;

constexpr std::uint32_t STATUS_0 = TILE_DEBUG_BASE + 4 * TILE_DEBUG_STATUS;

// A traced simulated device with a handle open on it; the trace starts after the open.
class TileDebug : public ::testing::Test, protected OpenedSim {};

TEST(TdiInstruction, Encodings) {
  EXPECT_EQ(put_debug_data_m(0), 0x43008070u);
  EXPECT_EQ(put_debug_data_m(5), 0x43508070u);
  EXPECT_EQ(put_debug_data_m(15), 0x43f08070u);
  EXPECT_EQ(put_debug_data_m(16), std::nullopt);
  EXPECT_EQ(put_debug_data_m(0xffffffff), std::nullopt);
  EXPECT_EQ(get_debug_data_m(0), 0x41000070u);
  EXPECT_EQ(get_debug_data_m(1), 0x41010070u);
}

TEST_F(TileDebug, RegistersAreAddressedPerTileIn32Bits) {
  sim.poke(0x46fc4, 0x1234);
  EXPECT_EQ(device.read_tile_debug(1471, 1), 0x1234u);
  ASSERT_TRUE(device.write_tile_debug(0, 9, 6));
  // No index check: the next tile's window, whose status the device will not have written.
  sim.expect_refusal("tile 1: write of read-only debug register 0");
  ASSERT_TRUE(device.write_tile_debug(0, 16, 5));
  const auto accesses = sim.trace().accesses();
  ASSERT_EQ(accesses.size(), 3u);
  EXPECT_EQ(accesses[0].offset, 0x46fc4u);
  EXPECT_EQ(accesses[1].offset, 0x30024u);
  EXPECT_EQ(accesses[2].offset, 0x30040u);

  struct Case {
    std::uint16_t tile;
    std::uint32_t reg;
    const char* debug;
  };
  const Case refused[] = {
      {0xffff, 0, "Invalid(\"configuration offset 0x42ffc0\")"},
      {0, 0x40000000, "Invalid(\"tile debug register index out of range\")"},  // x4 overflows
      {0, 0x3fffffff, "Invalid(\"tile debug register index out of range\")"},  // sum overflows
  };
  sim.trace().clear();
  for (const Case& c : refused) {
    auto read = device.read_tile_debug(c.tile, c.reg);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().debug(), c.debug) << c.reg;
    auto written = device.write_tile_debug(c.tile, c.reg, 1);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().debug(), c.debug) << c.reg;
  }
  EXPECT_TRUE(sim.trace().accesses().empty());
}

TEST_F(TileDebug, ContextStateDecodesItsBitPair) {
  sim.poke(TILE_DEBUG_BASE + 64 * 3, 0x2d | 2u << 12);
  const std::uint32_t expected[] = {1, 3, 2, 0, 0, 0, 2};
  for (std::uint32_t context = 0; context < 7; ++context) {
    EXPECT_EQ(device.tile_context_state(3, context), expected[context]) << context;
  }
  EXPECT_EQ(sim.trace().count(TraceOp::Load), 7u);

  sim.trace().clear();
  auto refused = device.tile_context_state(3, 7);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().debug(), "Invalid(\"tile context out of range\")");
  EXPECT_TRUE(sim.trace().accesses().empty());
}

TEST_F(TileDebug, InstructionIsArmedAddressedStartedAndAwaited) {
  sim.tiles().set_m_register(2, 5, 9, 0xcafe);
  sim.faults().tdi_busy_status_reads = 2;
  ASSERT_TRUE(device.execute_tile_instruction(2, 5, *put_debug_data_m(9)));
  EXPECT_EQ(device.read_tile_debug(2, TILE_DEBUG_DATA), 0xcafeu);

  const std::uint32_t window = TILE_DEBUG_BASE + 2 * 64;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
  for (const auto& access : sim.trace().accesses()) {
    seen.emplace_back(*access.offset - window, static_cast<std::uint32_t>(*access.value));
  }
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x24, 6},
                                                                        {0x10, 5},
                                                                        {0x0c, 0x43908070},
                                                                        {0x20, 0x8},
                                                                        {0x20, 0x8},
                                                                        {0x20, 0},
                                                                        {0x1c, 0xcafe}}));
}

TEST_F(TileDebug, StatusIsJudgedOnceTheBusyBitClears) {
  // The first instruction leaves failure code 4 behind; the second shows it under its busy
  // bit (0xc) before completing with 0x104.
  sim.faults().tdi_failure = zel_sim::TdiFailure{.status = 0x4};
  EXPECT_FALSE(device.execute_tile_instruction(0, 1, *put_debug_data_m(0)));
  sim.faults().tdi_busy_status_reads = 1;
  sim.faults().tdi_failure = zel_sim::TdiFailure{.status = 0x104};
  sim.trace().clear();
  auto failed = device.execute_tile_instruction(0, 1, *put_debug_data_m(0));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().debug(), "Invalid(\"TDI instruction failed with status 0x104\")");
  std::vector<std::uint64_t> statuses;
  for (const auto& access : sim.trace().accesses()) {
    if (access.op == TraceOp::Load && access.offset == STATUS_0) statuses.push_back(*access.value);
  }
  EXPECT_EQ(statuses, (std::vector<std::uint64_t>{0xc, 0x104}));

  sim.faults().tdi_failure = zel_sim::TdiFailure{.status = 0x100};
  EXPECT_TRUE(device.execute_tile_instruction(0, 1, *put_debug_data_m(0)));
}

TEST_F(TileDebug, FailuresOfTheSimulatedTileReachTheCaller) {
  struct Case {
    const char* name;
    std::function<void(SimDevice&)> setup;
    std::uint32_t context;
    std::uint32_t instruction;
    const char* debug;
    const char* refusal;
  };
  const Case cases[] = {
      {"unknown word", [](SimDevice&) {}, 1, 0x12345678,
       "Invalid(\"TDI instruction failed with status 0x1\")", "unknown instruction 0x12345678"},
      {"context 7", [](SimDevice&) {}, 7, *put_debug_data_m(0),
       "Invalid(\"TDI instruction failed with status 0x2\")", "context 7, which does not exist"},
      {"running context", [](SimDevice& s) { s.tiles().set_context_state(0, 1, 1); }, 1,
       *put_debug_data_m(0), "Invalid(\"TDI instruction failed with status 0x2\")",
       "context 1, which is running"},
      {"load outside the window", [](SimDevice& s) { s.tiles().set_m_register(0, 1, 1, 0xe8000); },
       1, TDI_LOAD_WORD, "Invalid(\"TDI instruction failed with status 0x4\")",
       "load at 0xe8000, outside the tile memory"},
      {"misaligned store", [](SimDevice& s) { s.tiles().set_m_register(0, 1, 1, 0x4c002); }, 1,
       TDI_STORE_WORD, "Invalid(\"TDI instruction failed with status 0x4\")",
       "store at 0x4c002, not a word's address"},
  };
  for (const Case& c : cases) {
    SimDevice fresh;
    fresh.expect_refusal(c.refusal);
    auto opened = Device::open("/dev/zel0", fresh);
    ASSERT_TRUE(opened);
    c.setup(fresh);
    auto result = opened->execute_tile_instruction(0, c.context, c.instruction);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().debug(), c.debug) << c.name;
  }
}

TEST_F(TileDebug, StuckInstructionTimesOutAfter100ms) {
  sim.faults().tdi_stuck = zel_sim::TdiStuck{};
  const auto start = sim.now();
  auto result = device.execute_tile_instruction(0, 1, *put_debug_data_m(0));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().debug(), "Timeout(\"TDI instruction\")");
  const auto elapsed = sim.now() - start;
  EXPECT_GE(elapsed, 100ms);
  EXPECT_LT(elapsed, 100ms + 10us);
  // The next instruction replaces the stuck one.
  EXPECT_TRUE(device.execute_tile_instruction(0, 1, *put_debug_data_m(0)));
}

}  // namespace
}  // namespace zel_driver
