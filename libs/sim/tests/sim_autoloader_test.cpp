#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "zel_driver/autoloader.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/registers.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;
using zel_driver::AUTOLOADER_BUSY;
using zel_driver::AUTOLOADER_CONTROL;
using zel_driver::AUTOLOADER_DATA;
using zel_driver::AUTOLOADER_ZONE;
using zel_driver::Device;

void feed(const Device& device, std::size_t words) {
  ASSERT_TRUE(device.write_config(AUTOLOADER_CONTROL, 0));
  for (std::size_t i = 0; i < words; ++i) ASSERT_TRUE(device.write_config(AUTOLOADER_DATA, 0));
}

void load_prefix(const Device& device) {
  feed(device, 256);
  ASSERT_TRUE(device.write_config(AUTOLOADER_ZONE, 0x2000400));
  ASSERT_TRUE(device.write_config(AUTOLOADER_CONTROL, 0x10013f));
  ASSERT_TRUE(device.wait_autoloader(1ms));
}

TEST(SimAutoloader, RefusedSequenceIsReportedAndStaysBusy) {
  struct Case {
    const char* report;
    std::function<void(const Device&)> sequence;
  };
  const auto write = [](const Device& device, std::uint32_t offset, std::uint32_t value) {
    ASSERT_TRUE(device.write_config(offset, value));
  };
  const Case cases[] = {
      {"autoloader: data word outside a prefix load",
       [&](const Device& d) { write(d, AUTOLOADER_DATA, 1); }},
      {"autoloader: 255 data words for a 1024-byte prefix",
       [&](const Device& d) {
         feed(d, 255);
         write(d, AUTOLOADER_ZONE, 0x2000400);
         write(d, AUTOLOADER_CONTROL, 0x10013f);
       }},
      {"autoloader: zone 0x2000500 is not a prefix size",
       [&](const Device& d) {
         feed(d, 256);
         write(d, AUTOLOADER_ZONE, 0x2000500);
         write(d, AUTOLOADER_CONTROL, 0x10013f);
       }},
      {"autoloader: command 0x13f out of order",
       [&](const Device& d) {
         feed(d, 256);
         write(d, AUTOLOADER_ZONE, 0x209c001);
         write(d, AUTOLOADER_CONTROL, 0x13f);
       }},
      {"autoloader: command 0x13f out of order",  // the first command is still busy
       [&](const Device& d) {
         feed(d, 256);
         write(d, AUTOLOADER_ZONE, 0x2000400);
         write(d, AUTOLOADER_CONTROL, 0x10013f);
         write(d, AUTOLOADER_ZONE, 0x209c001);
         write(d, AUTOLOADER_CONTROL, 0x13f);
       }},
      {"autoloader: zone 0x209c002, expected 0x209c001",
       [&](const Device& d) {
         load_prefix(d);
         write(d, AUTOLOADER_ZONE, 0x209c002);
         write(d, AUTOLOADER_CONTROL, 0x13f);
       }},
      {"autoloader: tiles 0 to 31 beyond the device's 16 tiles",
       [&](const Device& d) {
         load_prefix(d);
         write(d, AUTOLOADER_ZONE, 0x209c001);
         write(d, AUTOLOADER_CONTROL, 31 << 9 | 0x13f);
       }},
  };
  for (const Case& c : cases) {
    SimDevice sim(SimConfig{.tile_count = 16});
    sim.tile_memory().write_word(3, 0x4c000, 0xdeadbeef);
    const Device device = Device::open("/dev/zel0", sim).value();
    c.sequence(device);
    if (sim.peek(AUTOLOADER_CONTROL) == 0) {
      ASSERT_TRUE(device.write_config(AUTOLOADER_CONTROL, 0x10013f));  // any command now
    }
    EXPECT_EQ(sim.refusals(), std::vector<std::string>{c.report});
    EXPECT_EQ(device.wait_autoloader(2s).error().debug(), "Timeout(\"hardware autoloader\")")
        << c.report;
    EXPECT_EQ(sim.tile_memory().read_word(3, 0x4c000), 0xdeadbeefu) << c.report;

    // Writing CONTROL 0 begins a fresh sequence, which is accepted.
    EXPECT_TRUE(device.reset_tile_memory(16)) << c.report;
    EXPECT_EQ(sim.tile_memory().read_word(3, 0x4c000), 0u) << c.report;
  }
}

TEST(SimAutoloader, TileRangeTakesTimeByTileCount) {
  SimDevice sim;
  const Device device = Device::open("/dev/zel0", sim).value();
  load_prefix(device);
  ASSERT_TRUE(device.write_config(AUTOLOADER_ZONE, 0x209c001));
  ASSERT_TRUE(device.write_config(AUTOLOADER_CONTROL, 1471 << 9 | 0x13f));
  sim.sleep_for(20us + 1472us - 1ns);
  EXPECT_EQ(sim.peek(AUTOLOADER_CONTROL) & AUTOLOADER_BUSY, AUTOLOADER_BUSY);
  sim.sleep_for(1ns);
  EXPECT_EQ(sim.peek(AUTOLOADER_CONTROL), 0xb7e3fu);
  EXPECT_TRUE(sim.refusals().empty());
}

TEST(SimAutoloader, ListedWordsSurviveTheReset) {
  SimDevice sim;
  sim.faults().tile_words_surviving_reset = {{1471, 0xe7ffc}, {1500, 0x4c000}};
  sim.tile_memory().write_word(1471, 0xe7ffc, 0x11111111);
  sim.tile_memory().write_word(1471, 0xe7ff8, 0x22222222);
  const Device device = Device::open("/dev/zel0", sim).value();
  ASSERT_TRUE(device.reset_tile_memory(1472));
  EXPECT_EQ(sim.tile_memory().read_word(1471, 0xe7ffc), 0x11111111u);
  EXPECT_EQ(sim.tile_memory().read_word(1471, 0xe7ff8), 0u);
}

}  // namespace
}  // namespace zel_sim
