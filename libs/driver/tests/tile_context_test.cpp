#include "zel_driver/tile_context.hpp"

#include <functional>
#include <new>

#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_base/try.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_driver {
namespace {

using namespace std::chrono_literals;
using namespace tdi_instruction;
using zel_sim::SimDevice;
using zel_sim::TraceOp;
using Words = std::vector<std::uint32_t>;

constexpr std::uint16_t TILE = 5;
constexpr std::uint32_t WORKER = 1;
constexpr std::uint32_t SAVED_M0 = 0x1111aaaa;
constexpr std::uint32_t SAVED_M1 = 0x2222bbbb;
constexpr std::uint32_t PUT_0 = 0x43008070;
constexpr std::uint32_t PUT_1 = 0x43108070;
constexpr std::uint32_t GET_0 = 0x41000070;
constexpr std::uint32_t GET_1 = 0x41010070;

constexpr std::uint32_t window_offset(std::uint32_t reg) {
  return TILE_DEBUG_BASE + TILE_DEBUG_STRIDE * TILE + 4 * reg;
}

class TileContext : public ::testing::Test, protected OpenedSim {
 protected:
  void SetUp() override {
    sim.tiles().set_m_register(TILE, WORKER, 0, SAVED_M0);
    sim.tiles().set_m_register(TILE, WORKER, 1, SAVED_M1);
  }

  // The worker's state and TILE_RUN_BREAK as the access finds them.
  void prepare(std::uint32_t state, std::uint32_t run_break) {
    sim.tiles().set_context_state(TILE, WORKER, state);
    sim.poke(window_offset(TILE_RUN_BREAK), run_break);
  }
  std::vector<std::uint32_t> stores(std::uint32_t reg) const {
    return sim.trace().stored_values(window_offset(reg));
  }
  std::size_t loads(std::uint32_t reg) const {
    return sim.trace().count(TraceOp::Load, window_offset(reg));
  }
  void expect_scratch_restored() const {
    EXPECT_EQ(sim.tiles().m_register(TILE, WORKER, 0), SAVED_M0);
    EXPECT_EQ(sim.tiles().m_register(TILE, WORKER, 1), SAVED_M1);
  }
};

TEST_F(TileContext, WrittenWordsReadBackThroughAnInactiveWorker) {
  struct Case {
    std::uint16_t tile;
    std::uint32_t address;
  };
  for (const Case c : {Case{TILE, 0x4c000}, Case{TILE, 0xe7ffc}, Case{1471, 0xe7ffc}}) {
    const std::uint32_t value = 0x7e007e00 + c.address;
    ASSERT_TRUE(device.write_tile_word_from_inactive_context(c.tile, WORKER, c.address, value));
    EXPECT_EQ(sim.tile_memory().read_word(c.tile, c.address), value);
    auto read = device.read_tile_words_from_inactive_context(c.tile, WORKER, c.address, 1);
    ASSERT_TRUE(read) << read.error().debug();
    EXPECT_EQ(*read, Words{value});
  }
  expect_scratch_restored();
  EXPECT_EQ(sim.tiles().context_state(TILE, WORKER), 0u);

  for (std::uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(device.write_tile_word_from_inactive_context(TILE, 6, 0x60000 + 4 * i, 10 + i));
  }
  EXPECT_EQ(device.read_tile_words_from_inactive_context(TILE, 6, 0x60000, 3), (Words{10, 11, 12}));
  EXPECT_EQ(device.read_tile_words_at_addresses_from_inactive_context(
                TILE, 6, std::vector<std::uint32_t>{0x60008, 0x4c000, 0x60000}),
            (Words{12, 0x7e007e00 + 0x4c000, 10}));
}

TEST_F(TileContext, RegisterTrafficOfOneAccess) {
  enum class Access { Read, Write };
  struct Case {
    const char* name;
    std::uint32_t state;
    std::uint32_t run_break;
    Access access;
    std::vector<std::uint32_t> run_break_stores;
    std::vector<std::uint32_t> resume_stores;
    std::size_t state_reads;
    std::uint32_t state_after;
  };
  const std::size_t stop = zel_sim::CONTEXT_STOP_STATUS_READS;
  const Case cases[] = {
      {"inactive read", 0, 0x40000000, Access::Read, {}, {}, 1, 0},
      {"inactive write", 0, 0x40000000, Access::Write, {}, {}, 1, 0},
      {"stopped read", 2, 0, Access::Read, {}, {}, 1, 2},
      {"stopped (state 3) read", 3, 0, Access::Read, {}, {}, 1, 3},
      {"running read", 1, 0x40000000, Access::Read, {0x40000002, 0x40000000}, {2}, 1 + stop, 1},
      {"running write", 1, 0x40000000, Access::Write, {0x40000002, 0x40000000}, {2}, 1 + stop, 1},
      // Asked to stop by someone else before: handed back stopped, not released.
      {"running, bit already set",
       1,
       0x40000002,
       Access::Read,
       {0x40000002, 0x40000002},
       {},
       stop,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepare(c.state, c.run_break);
    sim.tile_memory().write_word(TILE, 0x80000, 0xabcd);
    sim.trace().clear();
    if (c.access == Access::Read) {
      EXPECT_EQ(device.read_tile_words_from_inactive_context(TILE, WORKER, 0x80000, 1),
                Words{0xabcd});
    } else {
      ASSERT_TRUE(device.write_tile_word_from_inactive_context(TILE, WORKER, 0x80000, 0x5678));
      EXPECT_EQ(sim.tile_memory().read_word(TILE, 0x80000), 0x5678u);
    }
    EXPECT_EQ(loads(TILE_CONTEXT_STATUS), c.state_reads);
    EXPECT_EQ(loads(TILE_RUN_BREAK), 1u);
    EXPECT_EQ(stores(TILE_RUN_BREAK), c.run_break_stores);
    EXPECT_EQ(stores(TILE_CONTEXT_RESUME), c.resume_stores);
    // Save 2, access 3, restore 2 instructions; each 3 writes and one status read here.
    EXPECT_EQ(stores(TILE_DEBUG_INSTRUCTION).size(), 7u);
    EXPECT_EQ(stores(TILE_DEBUG_CONTROL), std::vector<std::uint32_t>(7, 6));
    EXPECT_EQ(stores(TILE_DEBUG_CONTEXT), std::vector<std::uint32_t>(7, WORKER));
    EXPECT_EQ(loads(TILE_DEBUG_STATUS), 7u);
    const bool read = c.access == Access::Read;
    // The address (and the value) to M1 (and M0), then the saved M1 and M0 back.
    EXPECT_EQ(stores(TILE_DEBUG_DATA),
              read ? (std::vector<std::uint32_t>{0x80000, SAVED_M1, SAVED_M0})
                   : (std::vector<std::uint32_t>{0x80000, 0x5678, SAVED_M1, SAVED_M0}));
    EXPECT_EQ(loads(TILE_DEBUG_DATA), read ? 3u : 2u);
    EXPECT_EQ(sim.tiles().context_state(TILE, WORKER), c.state_after);
    expect_scratch_restored();
  }
}

TEST_F(TileContext, RunningWorkerIsStoppedAroundTheWholeAccess) {
  prepare(1, 0);
  ASSERT_TRUE(device.read_tile_words_from_inactive_context(TILE, WORKER, 0x80000, 1));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> steps;
  for (const auto& access : sim.trace().accesses()) {
    const std::uint32_t reg = (*access.offset - window_offset(0)) / 4;
    const bool step = reg == TILE_RUN_BREAK || reg == TILE_CONTEXT_RESUME ||
                      reg == TILE_DEBUG_INSTRUCTION || reg == TILE_DEBUG_DATA;
    if (access.op == TraceOp::Store && step) {
      steps.emplace_back(reg, static_cast<std::uint32_t>(*access.value));
    }
  }
  using Step = std::pair<std::uint32_t, std::uint32_t>;
  const auto instruction = [](std::uint32_t word) { return Step{TILE_DEBUG_INSTRUCTION, word}; };
  const auto data = [](std::uint32_t value) { return Step{TILE_DEBUG_DATA, value}; };
  EXPECT_EQ(steps, (std::vector<Step>{
                       {TILE_RUN_BREAK, 2},
                       instruction(PUT_0),
                       instruction(PUT_1),  // save
                       data(0x80000),
                       instruction(GET_1),
                       instruction(TDI_LOAD_WORD),  // read
                       instruction(PUT_0),
                       data(SAVED_M1),
                       instruction(GET_1),
                       data(SAVED_M0),
                       instruction(GET_0),
                       {TILE_RUN_BREAK, 0},
                       {TILE_CONTEXT_RESUME, 2},
                   }));
}

TEST_F(TileContext, ContextThatStopsInStateThreeIsAccessedAndReleased) {
  prepare(1, 0);
  sim.tiles().stop_contexts_in_state(3);
  sim.tile_memory().write_word(TILE, 0x80000, 0xabcd);
  EXPECT_EQ(device.read_tile_words_from_inactive_context(TILE, WORKER, 0x80000, 1), Words{0xabcd});
  EXPECT_EQ(stores(TILE_RUN_BREAK), (std::vector<std::uint32_t>{2, 0}));
  EXPECT_EQ(stores(TILE_CONTEXT_RESUME), std::vector<std::uint32_t>{2});
  EXPECT_EQ(sim.tiles().context_state(TILE, WORKER), 1u);
}

TEST_F(TileContext, FailingSecondWordOfThreeStillRestoresScratch) {
  // Save 2, first word 3, then the second word's load.
  sim.faults().tdi_failure = zel_sim::TdiFailure{.skip = 6, .status = 0x4};
  auto read = device.read_tile_words_from_inactive_context(TILE, WORKER, 0x4c000, 3);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().debug(), "Invalid(\"TDI instruction failed with status 0x4\")");
  EXPECT_EQ(stores(TILE_DEBUG_INSTRUCTION),
            (std::vector<std::uint32_t>{PUT_0, PUT_1, GET_1, TDI_LOAD_WORD, PUT_0, GET_1,
                                        TDI_LOAD_WORD, GET_1, GET_0}));
  EXPECT_EQ(stores(TILE_DEBUG_DATA),
            (std::vector<std::uint32_t>{0x4c000, 0x4c004, SAVED_M1, SAVED_M0}));
  expect_scratch_restored();
}

TEST_F(TileContext, ContextThatNeverStopsTimesOutAndIsReleased) {
  prepare(1, 0x40000000);
  sim.faults().contexts_never_stop = true;
  const auto start = sim.now();
  auto read = device.read_tile_words_from_inactive_context(TILE, WORKER, 0x4c000, 1);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().debug(), "Timeout(\"stopping tile context\")");
  EXPECT_GE(sim.now() - start, 100ms);
  EXPECT_LT(sim.now() - start, 100ms + 10us);
  EXPECT_EQ(stores(TILE_RUN_BREAK), (std::vector<std::uint32_t>{0x40000002, 0x40000000}));
  EXPECT_EQ(stores(TILE_CONTEXT_RESUME), std::vector<std::uint32_t>{2});
  EXPECT_TRUE(stores(TILE_DEBUG_INSTRUCTION).empty());
  EXPECT_EQ(sim.peek(window_offset(TILE_RUN_BREAK)), 0x40000000u);
}

TEST_F(TileContext, InactiveContextNotDeclaredQuiescentMustStop) {
  auto written = device.write_tile_word(TILE, WORKER, 0x4c000, 1, false);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().debug(), "Timeout(\"stopping tile context\")");
  EXPECT_EQ(stores(TILE_RUN_BREAK), (std::vector<std::uint32_t>{2, 0}));
  EXPECT_EQ(sim.tiles().context_state(TILE, WORKER), 0u);
}

TEST_F(TileContext, StuckInstructionRestoresWhatWasDisturbed) {
  struct Case {
    const char* name;
    std::uint32_t skip;
    std::vector<std::uint32_t> instructions;
  };
  const Case cases[] = {
      // Nothing saved yet: nothing to restore, but the context is released.
      {"during the save", 0, {PUT_0}},
      {"during the access", 3, {PUT_0, PUT_1, GET_1, TDI_LOAD_WORD, GET_1, GET_0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepare(1, 0);
    sim.trace().clear();
    sim.faults().tdi_stuck = zel_sim::TdiStuck{.skip = c.skip};
    auto read = device.read_tile_words_from_inactive_context(TILE, WORKER, 0x4c000, 1);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().debug(), "Timeout(\"TDI instruction\")");
    EXPECT_EQ(stores(TILE_DEBUG_INSTRUCTION), c.instructions);
    EXPECT_EQ(stores(TILE_RUN_BREAK), (std::vector<std::uint32_t>{2, 0}));
    EXPECT_EQ(stores(TILE_CONTEXT_RESUME), std::vector<std::uint32_t>{2});
    expect_scratch_restored();
  }
}

TEST_F(TileContext, FailedRestoreReplacesTheWordsRead) {
  prepare(1, 0);
  sim.tile_memory().write_word(TILE, 0x4c000, 0x77);
  // Save 2, access 3, then the restore of M1 fails, so M0 is not restored either.
  sim.faults().tdi_failure = zel_sim::TdiFailure{.skip = 5, .status = 0x2};
  auto read = device.read_tile_words_from_inactive_context(TILE, WORKER, 0x4c000, 1);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().debug(), "Invalid(\"TDI instruction failed with status 0x2\")");
  EXPECT_EQ(stores(TILE_DEBUG_INSTRUCTION).back(), GET_1);
  EXPECT_EQ(sim.tiles().m_register(TILE, WORKER, 0), 0x77u);
  EXPECT_EQ(sim.tiles().m_register(TILE, WORKER, 1), 0x4c000u);
  EXPECT_EQ(stores(TILE_RUN_BREAK), (std::vector<std::uint32_t>{2, 0}));
  EXPECT_EQ(stores(TILE_CONTEXT_RESUME), std::vector<std::uint32_t>{2});
}

TEST_F(TileContext, OperationErrorOutweighsAFailedRestore) {
  auto failed = device.with_tile_scratch(TILE, WORKER, true, [&]() -> Status {
    sim.faults().tdi_failure = zel_sim::TdiFailure{.status = 0x2};  // strikes the restore
    return std::unexpected(DriverError::invalid("operation failed"));
  });
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().debug(), "Invalid(\"operation failed\")");
  EXPECT_EQ(sim.fault_firings().tdi_failure, 1u);
}

TEST_F(TileContext, ZeroWordsAtTheWindowEndStillBorrowTheContext) {
  prepare(1, 0);
  auto read = device.read_tile_words_from_inactive_context(TILE, WORKER, 0xe8000, 0);
  ASSERT_TRUE(read) << read.error().debug();
  EXPECT_TRUE(read->empty());
  EXPECT_EQ(stores(TILE_DEBUG_INSTRUCTION),
            (std::vector<std::uint32_t>{PUT_0, PUT_1, GET_1, GET_0}));
  EXPECT_EQ(stores(TILE_RUN_BREAK), (std::vector<std::uint32_t>{2, 0}));
  EXPECT_EQ(stores(TILE_CONTEXT_RESUME), std::vector<std::uint32_t>{2});
}

TEST_F(TileContext, ChecksComeBeforeAnyRegisterAccess) {
  struct Case {
    const char* name;
    std::function<Status(const Device&)> call;
    const char* debug;
  };
  const auto read = [](std::uint32_t context, std::uint32_t address, std::uint32_t words) {
    return [=](const Device& d) -> Status {
      ZEL_TRY(d.read_tile_words_from_inactive_context(TILE, context, address, words));
      return {};
    };
  };
  const auto read_at = [](std::uint32_t context, std::vector<std::uint32_t> addresses) {
    return [=](const Device& d) -> Status {
      ZEL_TRY(d.read_tile_words_at_addresses_from_inactive_context(TILE, context, addresses));
      return {};
    };
  };
  const auto write = [](std::uint32_t context, std::uint32_t address) {
    return [=](const Device& d) {
      return d.write_tile_word_from_inactive_context(TILE, context, address, 1);
    };
  };
  const char* const worker_read = "Invalid(\"inactive SRAM diagnostic requires a worker context\")";
  const char* const worker_write = "Invalid(\"inactive write requires a worker context\")";
  const char* const bad_address = "Invalid(\"invalid tile memory address in diagnostic read\")";
  const char* const bad_write = "Invalid(\"tile memory write address is invalid\")";
  const Case cases[] = {
      {"2 words at the last", read(1, 0xe7ffc, 2),
       "Invalid(\"invalid tile memory range 0xe7ffc..0xe8004\")"},
      {"below the window", read(1, 0x4bffc, 1),
       "Invalid(\"invalid tile memory range 0x4bffc..0x4c000\")"},
      {"misaligned range", read(1, 0x4c002, 1),
       "Invalid(\"invalid tile memory range 0x4c002..0x4c006\")"},
      {"size overflow", read(1, 0x4c000, 0x40000000), "Invalid(\"tile diagnostic size overflow\")"},
      {"range overflow", read(1, 0xfffffff0, 0x3fffffff),
       "Invalid(\"tile diagnostic range overflow\")"},
      {"context 0 first", read(0, 0x4c000, 0x40000000), worker_read},
      {"read context 7", read(7, 0x4c000, 1), "Invalid(\"tile context out of range\")"},
      {"second address misaligned", read_at(1, {0x4c000, 0x4c002}), bad_address},
      {"address at the end", read_at(1, {0xe8000}), bad_address},
      {"list from context 0", read_at(0, {0x4c000}), worker_read},
      {"list from context 7", read_at(7, {0x4c000}), "Invalid(\"tile context out of range\")"},
      {"write below the window", write(1, 0x4c000 - 4), bad_write},
      {"write at the end", write(1, 0xe8000), bad_write},
      {"write misaligned", write(1, 0x4c001), bad_write},
      {"write context 0", write(0, 0x4c000), worker_write},
      {"write context 7", write(7, 0x4c000), worker_write},
      {"M register 16",
       [](const Device& d) -> Status {
         ZEL_TRY(d.read_tile_m_register_in_context(TILE, WORKER, 16));
         return {};
       },
       "Invalid(\"M register index out of range\")"},
  };
  for (const Case& c : cases) {
    auto result = c.call(device);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().debug(), c.debug) << c.name;
  }
  EXPECT_TRUE(sim.trace().accesses().empty());
}

TEST_F(TileContext, GenericWrapperRunsTheOperationWithTheContextStopped) {
  prepare(1, 0);
  auto seen = device.with_tile_context(TILE, WORKER, false, [&]() -> Result<std::uint32_t> {
    return sim.tiles().context_state(TILE, WORKER);
  });
  EXPECT_EQ(seen, 2u);
  EXPECT_EQ(sim.tiles().context_state(TILE, WORKER), 1u);

  auto failed = device.with_tile_scratch(TILE, WORKER, false, [&]() -> Status {
    sim.tiles().set_m_register(TILE, WORKER, 0, 0);
    return std::unexpected(DriverError::invalid("operation failed"));
  });
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().debug(), "Invalid(\"operation failed\")");
  EXPECT_EQ(sim.tiles().context_state(TILE, WORKER), 1u);
  expect_scratch_restored();
}

TEST_F(TileContext, MemoryRunningOutInsideTheBorrowStillGivesEverythingBack) {
  prepare(1, 0);
  const auto run_out = [&]() -> Status {
    sim.tiles().set_m_register(TILE, WORKER, 0, 0);
    throw std::bad_alloc();
  };
  EXPECT_THROW((void)device.with_tile_scratch(TILE, WORKER, false, run_out), std::bad_alloc);
  EXPECT_EQ(stores(TILE_RUN_BREAK), (std::vector<std::uint32_t>{2, 0}));
  EXPECT_EQ(sim.tiles().context_state(TILE, WORKER), 1u);
  expect_scratch_restored();
}

}  // namespace
}  // namespace zel_driver
