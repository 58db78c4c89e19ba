#include "zel_sim/sim_tiles.hpp"

#include <gtest/gtest.h>

#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/tile_debug.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_sim {
namespace {

using namespace zel_driver;
using tdi_instruction::put_debug_data_m;

// The tile debug windows driven register by register, as a host would.
class SimTiles : public ::testing::Test {
 protected:
  void open(SimConfig config = {}) {
    device.reset();  // the handle goes before the device it was opened on
    sim.emplace(std::move(config));
    auto opened = Device::open("/dev/zel0", *sim);
    ASSERT_TRUE(opened) << opened.error().debug();
    device.emplace(std::move(*opened));
  }
  void SetUp() override { open(); }

  std::uint32_t read(std::uint16_t tile, std::uint32_t reg) {
    auto value = device->read_tile_debug(tile, reg);
    EXPECT_TRUE(value);
    return value.value_or(0xdeadbeef);
  }
  void write(std::uint16_t tile, std::uint32_t reg, std::uint32_t value) {
    EXPECT_TRUE(device->write_tile_debug(tile, reg, value));
  }
  // Starts `word` in `context` (armed or not) and reads the status once.
  std::uint32_t run(std::uint16_t tile, std::uint32_t context, std::uint32_t word,
                    bool armed = true) {
    if (armed) write(tile, TILE_DEBUG_CONTROL, TILE_DEBUG_CONTROL_EXECUTE);
    write(tile, TILE_DEBUG_CONTEXT, context);
    write(tile, TILE_DEBUG_INSTRUCTION, word);
    return read(tile, TILE_DEBUG_STATUS);
  }

  std::optional<SimDevice> sim;
  std::optional<Device> device;
};

TEST_F(SimTiles, RunBreakStopsARunningContextAndResumeReleasesIt) {
  sim->tiles().set_context_state(7, 3, TILE_CONTEXT_RUNNING);
  EXPECT_EQ(sim->peek(TILE_DEBUG_BASE + 7 * 64), 1u << 6);  // the state lives in the register
  write(7, TILE_RUN_BREAK, 0xffffffff);
  EXPECT_EQ(read(7, TILE_RUN_BREAK), 0xffffffffu);
  for (std::uint32_t i = 1; i < CONTEXT_STOP_STATUS_READS; ++i) {
    EXPECT_EQ(read(7, TILE_CONTEXT_STATUS), 1u << 6);
  }
  EXPECT_EQ(read(7, TILE_CONTEXT_STATUS), 2u << 6);

  write(7, TILE_CONTEXT_RESUME, 1u << 3);  // still asked to stop
  EXPECT_EQ(sim->tiles().context_state(7, 3), TILE_CONTEXT_STOPPED);
  write(7, TILE_RUN_BREAK, 0x40000000);
  write(7, TILE_CONTEXT_RESUME, 0x7f);  // the inactive contexts stay inactive
  EXPECT_EQ(read(7, TILE_CONTEXT_STATUS), 1u << 6);
  write(7, TILE_CONTEXT_STATUS, 0xffff);  // read only
  EXPECT_EQ(read(7, TILE_CONTEXT_STATUS), 1u << 6);
}

TEST_F(SimTiles, EveryInstructionNeedsControlWrittenSixFirst) {
  sim->tiles().set_m_register(0, 2, 4, 0x99);
  EXPECT_EQ(run(0, 2, *put_debug_data_m(4), false), TDI_FAILURE_NOT_ARMED);
  EXPECT_EQ(read(0, TILE_DEBUG_DATA), 0u);
  EXPECT_EQ(run(0, 2, *put_debug_data_m(4)), 0u);
  EXPECT_EQ(read(0, TILE_DEBUG_DATA), 0x99u);
  EXPECT_EQ(run(0, 2, *put_debug_data_m(4), false), TDI_FAILURE_NOT_ARMED);
}

TEST_F(SimTiles, ForcedStatesAreWhatTheHostAndTheInstructionsSee) {
  sim->tiles().set_context_state(0, 1, TILE_CONTEXT_RUNNING);
  sim->faults().forced_context_states = {{.tile = 0, .context = 1, .state = 2},
                                         {.tile = 0, .context = 2, .state = 1}};
  EXPECT_EQ(read(0, TILE_CONTEXT_STATUS), 2u << 2 | 1u << 4);
  EXPECT_EQ(run(0, 1, *put_debug_data_m(0)), 0u);
  EXPECT_EQ(run(0, 2, *put_debug_data_m(0)), TDI_FAILURE_CONTEXT_UNAVAILABLE);
  EXPECT_EQ(sim->tiles().context_state(0, 1), TILE_CONTEXT_RUNNING);
}

TEST_F(SimTiles, CorruptedStoreDoesNotStickAsWritten) {
  sim->faults().corrupted_stores = {{.tile = 0, .address = 0x4c000, .mask = 1}};
  for (std::uint32_t address : {0x4c000u, 0x4c004u}) {
    ASSERT_TRUE(device->write_tile_word_from_inactive_context(0, 1, address, 0x7e007e00));
  }
  EXPECT_EQ(device->read_tile_words_from_inactive_context(0, 1, 0x4c000, 2),
            (std::vector<std::uint32_t>{0x7e007e01, 0x7e007e00}));
}

TEST_F(SimTiles, WindowsBeyondTheTileCountArePlainRegisters) {
  open(SimConfig{.tile_count = 4});
  sim->poke(TILE_DEBUG_BASE + 4 * 64 + 4 * TILE_DEBUG_STATUS, 0x55);
  EXPECT_EQ(run(4, 1, *put_debug_data_m(0)), 0x55u);
  write(4, TILE_CONTEXT_STATUS, 0x1234);
  EXPECT_EQ(read(4, TILE_CONTEXT_STATUS), 0x1234u);
  EXPECT_EQ(run(3, 1, 0), TDI_FAILURE_UNKNOWN_INSTRUCTION);  // the last tile is modelled
}

}  // namespace
}  // namespace zel_sim
