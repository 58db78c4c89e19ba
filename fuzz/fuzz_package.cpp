// Reads the input as an application package from an in-memory file, as the tool reads the
// file it is given, and checks the image of every tile of a package that reads against the
// raw message.

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include <capnp/serialize.h>

#include "fuzz_check.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zel_package/application.capnp.h"
#include "zel_package/application.hpp"

namespace {

using zel_fuzz::check;
using zel_package::Application;
namespace wire = zel_package::wire;

bool closed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// The image of a tile as the raw message describes it, read with the schema's own readers
// and none of the model: from the lowest segment address to the highest segment end, each
// segment's data at its place, zero elsewhere; none for a tile without segments.
std::optional<std::vector<std::byte>> raw_tile_image(wire::TileImage::Reader tile) {
  const auto segments = tile.getSegments();
  if (segments.size() == 0) return std::nullopt;
  std::uint64_t base = UINT64_MAX, end = 0;
  for (const auto segment : segments) {
    base = std::min<std::uint64_t>(base, segment.getAddress());
    end =
        std::max<std::uint64_t>(end, std::uint64_t{segment.getAddress()} + segment.getMemorySize());
  }
  std::vector<std::byte> image(end - base);
  for (const auto segment : segments) {
    const auto data = segment.getData();
    check(segment.getAddress() - base + data.size() <= image.size(),
          "a valid package's segment data fits its memory size");
    std::copy(data.begin(), data.end(),
              reinterpret_cast<capnp::byte*>(image.data()) + (segment.getAddress() - base));
  }
  return image;
}

// Every tile of the raw message has the image the model reconstructs for it.
void check_tile_images(const Application& app, std::span<const std::uint8_t> input) {
  // The message again, word-aligned, for a reader of its own; it read once within the
  // reader's limits, so no limit is needed here.
  std::vector<capnp::word> words(input.size() / sizeof(capnp::word));
  std::memcpy(words.data(), input.data(), words.size() * sizeof(capnp::word));
  capnp::ReaderOptions options;
  options.traversalLimitInWords = UINT64_MAX;
  capnp::FlatArrayMessageReader message(kj::arrayPtr(words.data(), words.size()), options);
  const auto tiles = message.getRoot<wire::Application>().getTiles();
  check(tiles.size() == app.tiles.size(), "the model has every tile of the message");
  for (const auto tile : tiles) {
    const auto expected = raw_tile_image(tile);
    const auto image = app.tile_image(tile.getPhysicalTile());
    if (!expected) {
      check(!image && image.error().debug() == R"(Invalid("tile has no loadable segments"))",
            "a tile without segments has no image");
    } else {
      check(image.has_value() && *image == *expected,
            "every tile's image is the one its raw segments make");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = zel_fixtures::memory_file(std::as_bytes(std::span(data, size)));
  const auto app = Application::read(zel_base::UniqueFd(fd));
  check(closed(fd), "the reader closes the package on every path");
  if (!app) {
    check(!app.error().display().empty() && !app.error().debug().empty(),
          "every error has its texts");
    return 0;
  }
  check(app->validate().has_value(), "what reads is valid");
  check_tile_images(*app, std::span(data, size));
  return 0;
}
