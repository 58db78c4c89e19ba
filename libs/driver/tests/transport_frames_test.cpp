#include "zel_driver/transport_frames.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "zel_driver/bytes.hpp"

namespace zel_driver {
namespace {

std::vector<std::byte> image_of(std::size_t size) {
  std::vector<std::byte> image(size);
  for (std::size_t index = 0; index < size; ++index) {
    image[index] = static_cast<std::byte>(index % 253 + 1);
  }
  return image;
}

std::uint32_t word(std::span<const std::byte> frame, std::size_t offset) {
  return read_u32(frame, offset).value();
}

std::span<const std::byte> frame(const std::vector<std::byte>& framed, std::size_t n) {
  return std::span(framed).subspan(n * FRAME_BYTES, FRAME_BYTES);
}

std::span<const std::byte> payload(std::span<const std::byte> frame) {
  return frame.subspan(FRAME_HEADER_BYTES, FRAME_PAYLOAD_BYTES);
}

void expect_trailer(std::span<const std::byte> frame) {
  const std::vector<std::byte> ones(FRAME_TRAILER_BYTES, std::byte{0xff});
  EXPECT_TRUE(std::ranges::equal(frame.last(FRAME_TRAILER_BYTES), ones));
}

TEST(FrameTile, FullPayloadIsOneLastFrame) {
  const std::vector<std::byte> image = image_of(992);
  const auto framed = frame_tile(9, image);
  ASSERT_TRUE(framed) << framed.error().debug();
  ASSERT_EQ(framed->size(), 1024u);
  const auto only = frame(*framed, 0);
  EXPECT_EQ(word(only, 0), 0u);
  EXPECT_EQ(word(only, 4), 9u);
  EXPECT_EQ(word(only, 8), 0x08000000u);
  EXPECT_EQ(word(only, 12), 0u);
  EXPECT_TRUE(std::ranges::equal(payload(only), image));
  expect_trailer(only);
}

TEST(FrameTile, OneByteMoreOpensASecondFrame) {
  const std::vector<std::byte> image = image_of(993);
  const auto framed = frame_tile(9, image);
  ASSERT_TRUE(framed) << framed.error().debug();
  ASSERT_EQ(framed->size(), 2048u);
  const auto first = frame(*framed, 0);
  const auto second = frame(*framed, 1);
  EXPECT_EQ(word(first, 0), 0u);
  EXPECT_EQ(word(first, 8), 0u);
  EXPECT_TRUE(std::ranges::equal(payload(first), std::span(image).first(992)));
  EXPECT_EQ(word(second, 0), 1u);
  EXPECT_EQ(word(second, 4), 9u);
  EXPECT_EQ(word(second, 8), 0x08000000u);
  EXPECT_EQ(payload(second)[0], image[992]);
  EXPECT_TRUE(std::ranges::all_of(payload(second).subspan(1),
                                  [](std::byte b) { return b == std::byte{0}; }));
  expect_trailer(first);
  expect_trailer(second);
}

// Every frame of images around the frame boundaries: numbered in order, tile in all four
// bytes, only the last flagged, trailers intact, and the payloads give back the image
// followed by zeros only.
TEST(FrameTile, PayloadsReassembleTheImageAtEverySize) {
  constexpr std::uint32_t tile = 0x12345678;
  for (std::size_t size : {1, 991, 1984, 1985, 16692, 637856}) {
    SCOPED_TRACE(size);
    const std::vector<std::byte> image = image_of(size);
    const auto framed = frame_tile(tile, image);
    ASSERT_TRUE(framed) << framed.error().debug();
    const std::size_t frames = (size + 991) / 992;
    ASSERT_EQ(framed->size(), frames * 1024);
    std::vector<std::byte> payloads;
    for (std::size_t n = 0; n < frames; ++n) {
      const auto current = frame(*framed, n);
      ASSERT_EQ(word(current, 0), n);
      ASSERT_EQ(current[4], std::byte{0x78});
      ASSERT_EQ(current[7], std::byte{0x12});
      ASSERT_EQ(word(current, 8), n + 1 == frames ? 0x08000000u : 0u);
      ASSERT_EQ(word(current, 12), 0u);
      expect_trailer(current);
      payloads.insert(payloads.end(), payload(current).begin(), payload(current).end());
    }
    std::vector<std::byte> expected = image;
    expected.resize(frames * 992);
    EXPECT_EQ(payloads, expected);
  }
}

TEST(FrameTile, EmptyImageIsRefused) {
  const auto framed = frame_tile(9, {});
  ASSERT_FALSE(framed);
  EXPECT_EQ(framed.error().debug(), "Invalid(\"cannot frame empty tile image\")");
}

// In place, over memory that held something else (a reused transport), the frames come out
// byte for byte as frame_tile makes them.
TEST(FrameTileInto, OverwritesEveryByteOfItsFrames) {
  const std::vector<std::byte> image = image_of(1985);
  std::vector<std::byte> frames(3 * FRAME_BYTES, std::byte{0xaa});
  ASSERT_TRUE(frame_tile_into(9, image, frames));
  EXPECT_EQ(frames, frame_tile(9, image).value());

  const auto refused = frame_tile_into(9, {}, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().debug(), "Invalid(\"cannot frame empty tile image\")");

  // A buffer one frame short is refused before anything is written to it.
  std::vector<std::byte> short_frames(2 * FRAME_BYTES, std::byte{0xaa});
  const auto too_small = frame_tile_into(9, image, short_frames);
  ASSERT_FALSE(too_small);
  EXPECT_EQ(too_small.error().debug(), "Invalid(\"frame buffer does not fit the tile image\")");
  EXPECT_EQ(short_frames, std::vector<std::byte>(2 * FRAME_BYTES, std::byte{0xaa}));
}

}  // namespace
}  // namespace zel_driver
