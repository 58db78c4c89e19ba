#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "zel_fixtures/idle_package.hpp"
#include "zel_log/capturing_sink.hpp"
#include "zel_package/application.hpp"

namespace zel_package {
namespace {

std::vector<std::byte> bytes(std::initializer_list<std::uint8_t> values) {
  std::vector<std::byte> result;
  for (std::uint8_t value : values) result.push_back(std::byte{value});
  return result;
}

std::vector<std::byte> counting(std::size_t size) {
  std::vector<std::byte> result(size);
  for (std::size_t i = 0; i < size; ++i) result[i] = std::byte(i + 1);
  return result;
}

Application with_tile(std::uint32_t physical_tile, std::vector<Segment> segments) {
  Application app(zel_target::Target::Zel21);
  app.tiles = {TileImage{.physical_tile = physical_tile, .segments = std::move(segments)}};
  return app;
}

std::vector<Segment> two_segments() {
  return {{0x4c010, 0x10, bytes({0xaa, 0xbb, 0xcc, 0xdd}), 0}, {0x4c100, 0x20, counting(0x20), 0}};
}

TEST(TileImage, PlacesSegmentsAndZeroFillsTheRest) {
  zel_log::CapturingSink sink;
  const auto image = with_tile(4, two_segments()).tile_image(4);
  ASSERT_TRUE(image.has_value()) << image.error().display();
  std::vector<std::byte> expected(0x110);
  std::copy_n(bytes({0xaa, 0xbb, 0xcc, 0xdd}).begin(), 4, expected.begin());
  const auto second = counting(0x20);
  std::copy(second.begin(), second.end(), expected.begin() + 0xf0);
  EXPECT_EQ(*image, expected);

  const auto events = sink.with_message("reconstructing tile image");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, zel_log::Level::Trace);
  EXPECT_EQ(events[0].target, "zel_package");
  EXPECT_EQ(events[0].number("physical_tile"), 4u);
  EXPECT_EQ(events[0].text("load_base"), "0x4c010");
  EXPECT_EQ(events[0].number("image_bytes"), 272u);
}

// A window of the image, as framing takes one, is that slice of the whole image, zero past its
// end, wherever it cuts the segments.
TEST(TileImage, AnyWindowIsTheSliceOfTheWholeImage) {
  const Application app = with_tile(4, two_segments());
  const std::vector<std::byte> whole = app.tile_image(4).value();
  const TileImage& tile = app.tiles[0];
  for (const std::size_t offset : {0x0, 0x2, 0x4, 0xe8, 0xf0, 0x108, 0x110, 0x200}) {
    for (const std::size_t size : {0x1, 0x3, 0x10, 0x30}) {
      SCOPED_TRACE(testing::Message() << offset << "+" << size);
      std::vector<std::byte> window(size, std::byte{0x55});
      copy_tile_image(tile, 0x4c010, offset, window);
      std::vector<std::byte> expected(size);
      for (std::size_t i = 0; i < size && offset + i < whole.size(); ++i) {
        expected[i] = whole[offset + i];
      }
      EXPECT_EQ(window, expected);
    }
  }
  EXPECT_EQ(tile_image_extent(tile).bytes, whole.size());
}

TEST(TileImage, SegmentOrderDoesNotMatter) {
  auto segments = two_segments();
  std::reverse(segments.begin(), segments.end());
  EXPECT_EQ(with_tile(4, segments).tile_image(4).value(),
            with_tile(4, two_segments()).tile_image(4).value());
}

TEST(TileImage, ShapesOfTheImage) {
  struct Case {
    const char* name;
    std::vector<Segment> segments;
    std::vector<std::byte> expected;
  };
  std::vector<std::byte> low_empty(0x14);
  std::copy_n(counting(4).begin(), 4, low_empty.begin() + 0x10);
  const Case cases[] = {
      {"empty segment moves the base down",
       {{0x4c010, 4, counting(4), 0}, {0x4c000, 0, {}, 0}},
       low_empty},
      {"segment without data", {{0x4c010, 0x100, {}, 0}}, std::vector<std::byte>(0x100)},
      {"only an empty segment", {{0x4c010, 0, {}, 0}}, {}},
  };
  for (const Case& c : cases) {
    const auto image = with_tile(2, c.segments).tile_image(2);
    ASSERT_TRUE(image.has_value()) << c.name;
    EXPECT_EQ(*image, c.expected) << c.name;
  }
}

TEST(TileImage, FirstTileWithTheNumberIsUsed) {
  Application app = with_tile(3, {{0x4c010, 1, bytes({1}), 0}});
  app.tiles.push_back(TileImage{.physical_tile = 3, .segments = {{0x4c010, 1, bytes({2}), 0}}});
  EXPECT_EQ(app.tile_image(3).value(), bytes({1}));
}

TEST(TileImage, IdleTilesDiffer) {
  const Application app = zel_fixtures::idle_application(4);
  const auto first = app.tile_image(1).value();
  const auto second = app.tile_image(2).value();
  EXPECT_EQ(first.size(), 0x51000u - zel_fixtures::IDLE_PROGRAM_ADDRESS);
  EXPECT_NE(first, second);
}

TEST(TileImage, Failures) {
  struct Case {
    const char* name;
    Application app;
    std::uint32_t tile;
    const char* display;
  };
  const Case cases[] = {
      {"unknown tile", with_tile(4, two_segments()), 12, "invalid package: unknown tile 12"},
      {"no segments", with_tile(4, {}), 4, "invalid package: tile has no loadable segments"},
      // Applications that would not pass validation fail instead of writing past the image.
      {"data longer than the segment", with_tile(4, {{0x4c010, 4, counting(64), 0}}), 4,
       "invalid package: invalid segment on tile 4: address=0x4c010 end=0x4c014 memory_size=4 "
       "data_size=64"},
      {"end past 32 bits", with_tile(4, {{0xffffff00, 0x200, counting(8), 0}}), 4,
       "invalid package: segment address overflow"},
      {"outside the window", with_tile(4, {{0x10, 0x10, {}, 0}, {0xe8000, 8, counting(8), 0}}), 4,
       "invalid package: invalid segment on tile 4: address=0x10 end=0x20 memory_size=16 "
       "data_size=0"},
  };
  for (const Case& c : cases) {
    const auto image = c.app.tile_image(c.tile);
    ASSERT_FALSE(image.has_value()) << c.name;
    EXPECT_EQ(image.error().display(), c.display) << c.name;
  }
}

TEST(TileImage, OverlappingSegmentsStayInsideTheImage) {
  // Not a valid application, but nothing to refuse for safety: the later segment wins.
  const auto image =
      with_tile(1, {{0x4c010, 8, counting(8), 0}, {0x4c014, 2, bytes({0, 0}), 0}}).tile_image(1);
  EXPECT_EQ(image.value(), bytes({1, 2, 3, 4, 0, 0, 7, 8}));
}

}  // namespace
}  // namespace zel_package
