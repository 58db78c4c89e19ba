// Reads the input as an application package from an in-memory file, as the tool reads the
// file it is given, and builds the image of every tile of a package that reads.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_package/application.hpp"

namespace {

using zel_fuzz::check;
using zel_package::Application;
using zel_package::Segment;
using zel_package::TileImage;

bool closed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// The image of a tile of a valid package spans its segments inside the tile-memory window,
// holds each segment's stored bytes at their place and zero everywhere else.
void check_tile_image(const Application& app, const TileImage& tile) {
  const auto image = app.tile_image(tile.physical_tile);
  if (tile.segments.empty()) {
    check(!image && image.error().debug() == R"(Invalid("tile has no loadable segments"))",
          "a tile without segments has no image");
    return;
  }
  check(image.has_value(), "every tile with segments of a valid package has an image");

  const auto window = app.target.tile_memory();
  std::uint64_t load_base = window.end;
  std::uint64_t end = 0;
  for (const Segment& segment : tile.segments) {
    load_base = std::min<std::uint64_t>(load_base, segment.address);
    end = std::max<std::uint64_t>(end, std::uint64_t{segment.address} + segment.memory_size);
  }
  check(window.start <= load_base && end <= window.end, "the segments lie in the window");
  check(image->size() == end - load_base, "the image spans the segments");

  std::vector<std::byte> rest = *image;
  for (const Segment& segment : tile.segments) {
    const std::size_t at = segment.address - load_base;
    check(std::equal(segment.data.begin(), segment.data.end(), image->begin() + at),
          "each segment's bytes are in place");
    std::fill_n(rest.begin() + at, segment.data.size(), std::byte{0});
  }
  check(std::all_of(rest.begin(), rest.end(), [](std::byte b) { return b == std::byte{0}; }),
        "the image is zero outside the stored bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = zel_fixtures::memory_file(std::as_bytes(std::span(data, size)));
  const auto app = Application::read(fd);
  check(closed(fd), "the reader closes the package on every path");
  if (!app) {
    check(!app.error().display().empty() && !app.error().debug().empty(),
          "every error has its texts");
    return 0;
  }
  check(app->validate().has_value(), "what reads is valid");
  for (const TileImage& tile : app->tiles) check_tile_image(*app, tile);
  return 0;
}
