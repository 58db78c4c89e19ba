#include "zel_sim/sim_tiles.hpp"

#include <optional>

#include <gtest/gtest.h>

#include "bare_host.hpp"
#include "zel_sim/protocol/registers.hpp"
#include "zel_sim/protocol/tile_debug.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_sim {
namespace {

using namespace tdi;
using testing::BareHost;

constexpr std::uint32_t put(std::uint32_t m) { return PUT_DEBUG_DATA | m << PUT_REGISTER_SHIFT; }
constexpr std::uint32_t get(std::uint32_t m) { return GET_DEBUG_DATA | m << GET_REGISTER_SHIFT; }

// The tile debug windows driven register by register, as a host would.
class SimTilesTest : public ::testing::Test {
 protected:
  void open(SimConfig config = {}) {
    host.reset();  // the host goes before the device it was opened on
    sim.emplace(std::move(config));
    host.emplace(*sim);
  }
  void SetUp() override { open(); }

  // Starts `word` in `context` (armed or not) and reads the status once.
  std::uint32_t run(std::uint32_t tile, std::uint32_t context, std::uint32_t word,
                    bool armed = true) {
    if (armed) host->write_tile(tile, DEBUG_CONTROL, EXECUTE);
    host->write_tile(tile, CONTEXT, context);
    host->write_tile(tile, INSTRUCTION, word);
    return host->read_tile(tile, DEBUG_STATUS);
  }

  std::optional<SimDevice> sim;
  std::optional<BareHost> host;
};

TEST_F(SimTilesTest, RunBreakStopsARunningContextAndResumeReleasesIt) {
  sim->tiles().set_context_state(7, 3, RUNNING);
  EXPECT_EQ(sim->peek(reg::TILE_DEBUG_BASE + 7 * 64), 1u << 6);  // the state lives in the register
  host->write_tile(7, RUN_BREAK, 0xffffffff);
  EXPECT_EQ(host->read_tile(7, RUN_BREAK), 0xffffffffu);
  for (std::uint32_t i = 1; i < CONTEXT_STOP_STATUS_READS; ++i) {
    EXPECT_EQ(host->read_tile(7, CONTEXT_STATUS), 1u << 6);
  }
  EXPECT_EQ(host->read_tile(7, CONTEXT_STATUS), 2u << 6);

  host->write_tile(7, CONTEXT_RESUME, 1u << 3);  // still asked to stop
  EXPECT_EQ(sim->tiles().context_state(7, 3), STOPPED);
  host->write_tile(7, RUN_BREAK, 0x40000000);
  host->write_tile(7, CONTEXT_RESUME, 0x7f);  // the inactive contexts stay inactive
  EXPECT_EQ(host->read_tile(7, CONTEXT_STATUS), 1u << 6);
}

// Each departure fails the instruction with its code and is refused.
TEST_F(SimTilesTest, RefusesAccessesAndInstructionsItDoesNotKnow) {
  sim->tiles().set_context_state(0, 2, RUNNING);
  sim->tiles().set_m_register(0, 1, 1, 0xe8000);
  EXPECT_EQ(run(0, 1, put(4), false), TDI_FAILURE_NOT_ARMED);
  EXPECT_EQ(run(0, 7, put(4)), TDI_FAILURE_CONTEXT_UNAVAILABLE);
  EXPECT_EQ(run(0, 2, put(4)), TDI_FAILURE_CONTEXT_UNAVAILABLE);
  EXPECT_EQ(run(0, 1, 0x12345678), TDI_FAILURE_UNKNOWN_INSTRUCTION);
  EXPECT_EQ(run(0, 1, LOAD_WORD), TDI_FAILURE_MEMORY);
  host->write_tile(0, DEBUG_CONTROL, 7);
  host->write_tile(0, CONTEXT_STATUS, 0xffff);
  host->write_tile(0, 5, 1);
  host->read_tile(0, 15);
  EXPECT_EQ(host->read_tile(0, CONTEXT_STATUS), 1u << 4);  // the write changed nothing
  EXPECT_EQ(sim->take_refusals(),
            (std::vector<std::string>{
                "tile 0: instruction 0x43408070 without debug control 6 first",
                "tile 0: instruction in context 7, which does not exist",
                "tile 0: instruction in context 2, which is running",
                "tile 0: unknown instruction 0x12345678",
                "tile 0: load at 0xe8000, outside the tile memory",
                "tile 0: debug control 0x7, expected 6",
                "tile 0: write of read-only debug register 0",
                "tile 0: write of debug register 5, which the tile does not use",
                "tile 0: read of debug register 15, which the tile does not use",
            }));
}

TEST_F(SimTilesTest, MovesAndMemoryAccessesThroughTheMRegisters) {
  sim->faults().corrupted_stores = {{.tile = 0, .address = 0x4c000, .mask = 1}};
  const auto store = [&](std::uint32_t address, std::uint32_t value) {
    host->write_tile(0, DEBUG_DATA, address);
    EXPECT_EQ(run(0, 1, get(1)), 0u);
    host->write_tile(0, DEBUG_DATA, value);
    EXPECT_EQ(run(0, 1, get(0)), 0u);
    EXPECT_EQ(run(0, 1, STORE_WORD), 0u);
  };
  const auto load = [&](std::uint32_t address) {
    host->write_tile(0, DEBUG_DATA, address);
    EXPECT_EQ(run(0, 1, get(1)), 0u);
    EXPECT_EQ(run(0, 1, LOAD_WORD), 0u);
    EXPECT_EQ(run(0, 1, put(0)), 0u);
    return host->read_tile(0, DEBUG_DATA);
  };
  store(0x4c000, 0x7e007e00);
  store(0xe7ffc, 0x7e007e00);
  EXPECT_EQ(load(0x4c000), 0x7e007e01u);  // the corrupted store
  EXPECT_EQ(load(0xe7ffc), 0x7e007e00u);
  EXPECT_EQ(sim->tile_memory().read_word(0, 0xe7ffc), 0x7e007e00u);
  EXPECT_EQ(sim->tiles().m_register(0, 1, 1), 0xe7ffcu);
  EXPECT_EQ(sim->fault_firings().corrupted_stores, 1u);

  sim->tiles().set_m_register(0, 3, 15, 0x99);
  EXPECT_EQ(run(0, 3, put(15)), 0u);
  EXPECT_EQ(host->read_tile(0, DEBUG_DATA), 0x99u);
}

TEST_F(SimTilesTest, ForcedStatesAreWhatTheHostAndTheInstructionsSee) {
  sim->tiles().set_context_state(0, 1, RUNNING);
  sim->faults().forced_context_states = {{.tile = 0, .context = 1, .state = 2},
                                         {.tile = 0, .context = 2, .state = 1}};
  EXPECT_EQ(host->read_tile(0, CONTEXT_STATUS), 2u << 2 | 1u << 4);
  EXPECT_EQ(run(0, 1, put(0)), 0u);
  EXPECT_EQ(sim->tiles().context_state(0, 1), RUNNING);
  EXPECT_EQ(sim->fault_firings().forced_context_states, 2u);
}

// A host that addresses a tile the device does not have is refused, not answered.
TEST_F(SimTilesTest, WindowsOfTilesTheDeviceLacksAreRefused) {
  open(SimConfig{.tile_count = 4});
  EXPECT_EQ(run(3, 1, put(0)), 0u);  // the last tile is modelled
  EXPECT_TRUE(sim->take_refusals().empty());
  host->write_tile(4, CONTEXT_STATUS, 0x1234);
  EXPECT_EQ(host->read_tile(2047, CONTEXT_STATUS), 0u);
  EXPECT_EQ(sim->take_refusals(),
            (std::vector<std::string>{
                "tile 4: write of its debug window, but the device has tiles 0 to 3",
                "tile 2047: read of its debug window, but the device has tiles 0 to 3"}));
}

}  // namespace
}  // namespace zel_sim
