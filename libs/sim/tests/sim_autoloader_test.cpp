#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "bare_host.hpp"
#include "zel_sim/protocol/autoloader_fields.hpp"
#include "zel_sim/protocol/registers.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;
using reg::AUTOLOADER_CONTROL;
using reg::AUTOLOADER_DATA;
using reg::AUTOLOADER_ZONE;
using testing::BareHost;

void feed(BareHost& host, std::size_t words) {
  host.write(AUTOLOADER_CONTROL, 0);
  for (std::size_t i = 0; i < words; ++i) host.write(AUTOLOADER_DATA, 0);
}

void load_prefix(BareHost& host) {
  feed(host, 256);
  host.write(AUTOLOADER_ZONE, 0x2000400);
  host.write(AUTOLOADER_CONTROL, 0x10013f);
  ASSERT_TRUE(host.autoloader_done(1ms));
}

TEST(SimAutoloader, RefusedSequenceIsReportedAndStaysBusy) {
  struct Case {
    const char* report;
    std::function<void(BareHost&)> sequence;
  };
  const Case cases[] = {
      {"autoloader: data word outside a prefix load",
       [](BareHost& h) { h.write(AUTOLOADER_DATA, 1); }},
      {"autoloader: 255 data words for a 1024-byte prefix",
       [](BareHost& h) {
         feed(h, 255);
         h.write(AUTOLOADER_ZONE, 0x2000400);
         h.write(AUTOLOADER_CONTROL, 0x10013f);
       }},
      {"autoloader: zone 0x2000500 is not a prefix size",
       [](BareHost& h) {
         feed(h, 256);
         h.write(AUTOLOADER_ZONE, 0x2000500);
         h.write(AUTOLOADER_CONTROL, 0x10013f);
       }},
      {"autoloader: command 0x13f out of order",
       [](BareHost& h) {
         feed(h, 256);
         h.write(AUTOLOADER_ZONE, 0x209c001);
         h.write(AUTOLOADER_CONTROL, 0x13f);
       }},
      {"autoloader: command 0x13f out of order",  // the first command is still busy
       [](BareHost& h) {
         feed(h, 256);
         h.write(AUTOLOADER_ZONE, 0x2000400);
         h.write(AUTOLOADER_CONTROL, 0x10013f);
         h.write(AUTOLOADER_ZONE, 0x209c001);
         h.write(AUTOLOADER_CONTROL, 0x13f);
       }},
      {"autoloader: zone 0x209c002, expected 0x209c001",
       [](BareHost& h) {
         load_prefix(h);
         h.write(AUTOLOADER_ZONE, 0x209c002);
         h.write(AUTOLOADER_CONTROL, 0x13f);
       }},
      {"autoloader: tiles 0 to 31 beyond the device's 16 tiles",
       [](BareHost& h) {
         load_prefix(h);
         h.write(AUTOLOADER_ZONE, 0x209c001);
         h.write(AUTOLOADER_CONTROL, 31 << 9 | 0x13f);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    SimDevice sim(SimConfig{.tile_count = 16});
    sim.tile_memory().write_word(3, 0x4c000, 0xdeadbeef);
    BareHost host(sim);
    c.sequence(host);
    if (sim.peek(AUTOLOADER_CONTROL) == 0) host.write(AUTOLOADER_CONTROL, 0x10013f);  // any command
    EXPECT_EQ(sim.take_refusals(), std::vector<std::string>{c.report});
    EXPECT_FALSE(host.autoloader_done(2s));
    EXPECT_EQ(sim.tile_memory().read_word(3, 0x4c000), 0xdeadbeefu);

    // Writing CONTROL 0 begins a fresh sequence, which is accepted.
    host.initialize_tiles(16, std::vector<std::byte>(1024));
    EXPECT_EQ(sim.tile_memory().read_word(3, 0x4c000), 0u);
  }
}

TEST(SimAutoloader, TileRangeTakesTimeByTileCount) {
  SimDevice sim;
  BareHost host(sim);
  load_prefix(host);
  host.write(AUTOLOADER_ZONE, 0x209c001);
  host.write(AUTOLOADER_CONTROL, 1471 << 9 | 0x13f);
  sim.sleep_for(20us + 1472us - 1ns);
  EXPECT_EQ(sim.peek(AUTOLOADER_CONTROL) & autoloader::BUSY, autoloader::BUSY);
  sim.sleep_for(1ns);
  EXPECT_EQ(sim.peek(AUTOLOADER_CONTROL), 0xb7e3fu);
}

TEST(SimAutoloader, FaultsKeepItBusyOrWordsAlive) {
  SimDevice sim;
  sim.faults().tile_words_surviving_reset = {{1471, 0xe7ffc}, {1500, 0x4c000}};
  sim.tile_memory().write_word(1471, 0xe7ffc, 0x11111111);
  sim.tile_memory().write_word(1471, 0xe7ff8, 0x22222222);
  BareHost host(sim);
  host.initialize_tiles(1472, std::vector<std::byte>(1024));
  EXPECT_EQ(sim.tile_memory().read_word(1471, 0xe7ffc), 0x11111111u);
  EXPECT_EQ(sim.tile_memory().read_word(1471, 0xe7ff8), 0u);
  EXPECT_EQ(sim.fault_firings().tile_words_surviving_reset, 1u);

  sim.faults().autoloader_busy_forever = true;
  feed(host, 256);
  host.write(AUTOLOADER_ZONE, 0x2000400);
  host.write(AUTOLOADER_CONTROL, 0x10013f);
  EXPECT_FALSE(host.autoloader_done(10s));
  EXPECT_EQ(sim.fault_firings().autoloader_busy_forever, 1u);
}

}  // namespace
}  // namespace zel_sim
