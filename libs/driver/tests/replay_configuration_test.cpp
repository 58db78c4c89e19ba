#include <gtest/gtest.h>

#include "opened_sim.hpp"
#include "zel_driver/registers.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_log/capturing_sink.hpp"

namespace zel_driver {
namespace {

using zel_fixtures::configuration_image;
using zel_fixtures::ConfigWrite;

const std::vector<std::string> CLEAR_ACCESSES = {"S 0x302c=0x0", "L 0x302c", "S 0x3030=0x0",
                                                 "L 0x3030"};

std::vector<std::byte> image_with_count(std::vector<ConfigWrite> writes, std::uint32_t count) {
  std::vector<std::byte> image = configuration_image(writes);
  for (int i = 0; i < 4; ++i) image[8 + i] = std::byte(count >> (8 * i));
  return image;
}

TEST(ReplayConfiguration, WritesEachRecordThenReadsCcsrSkipsHostSyncAndClears) {
  OpenedSim opened;
  opened.sim.poke(HSP_SYNC_CONTROL_1, 0x17);
  zel_log::CapturingSink sink;
  const std::vector<ConfigWrite> writes = {{0x1000, 1}, {0x302c, 1}, {0x3034, 0x100},
                                           {0x3030, 2}, {0x302c, 0}, {0x7fffc, 0xffffffff}};
  ASSERT_TRUE(opened.device.replay_configuration(configuration_image(writes)));

  std::vector<std::string> expected = {
      "S 0x1000=0x1", "L 0x2000", "S 0x3034=0x100", "L 0x2000", "S 0x7fffc=0xffffffff", "L 0x2000"};
  expected.insert(expected.end(), CLEAR_ACCESSES.begin(), CLEAR_ACCESSES.end());
  EXPECT_EQ(opened.accesses(), expected);

  ASSERT_EQ(sink.events().size(), 2u);
  EXPECT_EQ(sink.events()[0].message, "replaying device configuration");
  EXPECT_EQ(sink.events()[0].level, zel_log::Level::Info);
  EXPECT_EQ(sink.events()[0].number("register_writes"), 6u);
  EXPECT_EQ(sink.events()[1].message, "discarded captured HSP protocol writes");
  EXPECT_EQ(sink.events()[1].level, zel_log::Level::Debug);
  EXPECT_EQ(sink.events()[1].number("skipped_host_sync_writes"), 3u);
}

TEST(ReplayConfiguration, EmptyImageStillClears) {
  OpenedSim opened;
  zel_log::CapturingSink sink;
  ASSERT_TRUE(opened.device.replay_configuration(configuration_image({})));
  EXPECT_EQ(opened.accesses(), CLEAR_ACCESSES);
  EXPECT_EQ(sink.events()[1].number("skipped_host_sync_writes"), 0u);
}

TEST(ReplayConfiguration, MalformedImagesTouchNoRegister) {
  struct Case {
    const char* name;
    std::vector<std::byte> image;
    std::string error;
    bool counted;  // the INFO event with the count came before the size check
  };
  const std::vector<std::byte> empty = configuration_image({});
  std::vector<std::byte> bad_magic = empty;
  bad_magic[6] = std::byte{'2'};
  std::vector<std::byte> trailing = configuration_image({{0x1000, 1}});
  trailing.push_back(std::byte{0});
  const std::string bad = "Invalid(\"bad configuration image\")";
  const std::string bad_size = "Invalid(\"bad configuration image size\")";
  const Case cases[] = {
      {"no bytes", {}, bad, false},
      {"11 bytes", std::vector<std::byte>(empty.begin(), empty.begin() + 11), bad, false},
      {"wrong magic", bad_magic, bad, false},
      {"count 2, one record", image_with_count({{0x1000, 1}}, 2), bad_size, true},
      {"trailing byte", trailing, bad_size, true},
      {"count 2^32 - 1", image_with_count({}, 0xffffffff), bad_size, true},
  };
  for (const Case& c : cases) {
    OpenedSim opened;
    zel_log::CapturingSink sink;
    auto replayed = opened.device.replay_configuration(c.image);
    ASSERT_FALSE(replayed) << c.name;
    EXPECT_EQ(replayed.error().debug(), c.error) << c.name;
    EXPECT_TRUE(opened.accesses().empty()) << c.name;
    EXPECT_EQ(sink.events().size(), c.counted ? 1u : 0u) << c.name;
  }
}

TEST(ReplayConfiguration, BadOffsetMidImageKeepsEarlierWritesAndSkipsTheClear) {
  OpenedSim opened;
  opened.sim.poke(HSP_SYNC_CONTROL_0, 3);
  auto replayed = opened.device.replay_configuration(
      configuration_image({{0x1000, 1}, {0x80000, 2}, {0x1004, 3}}));
  ASSERT_FALSE(replayed);
  EXPECT_EQ(replayed.error().debug(), "Invalid(\"configuration offset 0x80000\")");
  EXPECT_EQ(opened.accesses(), (std::vector<std::string>{"S 0x1000=0x1", "L 0x2000"}));
  EXPECT_EQ(opened.sim.peek(HSP_SYNC_CONTROL_0), 3u);
}

TEST(ReplayConfiguration, RegisterThatDoesNotClearEndsTheReplayAfterEveryRecord) {
  OpenedSim opened;
  opened.sim.faults().hsp_register_not_clearing = zel_sim::StuckRegister{0x302c, 3};
  auto replayed = opened.device.replay_configuration(configuration_image({{0x1000, 1}}));
  EXPECT_EQ(replayed.error().debug(), "Invalid(\"HSP register 0x302c did not clear: observed 3\")");
  EXPECT_EQ(opened.sim.peek(0x1000), 1u);
}

TEST(ReplayConfiguration, CapturedConfigurationTwiceGivesTheSameWritesTwice) {
  OpenedSim opened;
  const std::vector<std::byte> image = configuration_image(zel_fixtures::captured_configuration());
  ASSERT_TRUE(opened.device.replay_configuration(image));
  const std::vector<std::string> first = opened.accesses();
  opened.sim.trace().clear();
  ASSERT_TRUE(opened.device.replay_configuration(image));
  EXPECT_EQ(opened.accesses(), first);
  EXPECT_TRUE(opened.sim.refusals().empty());
}

}  // namespace
}  // namespace zel_driver
