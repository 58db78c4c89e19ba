#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transport_watch.hpp"
#include "zel_driver/bytes.hpp"
#include "zel_driver/exchange_buffer.hpp"
#include "zel_driver/loader.hpp"
#include "zel_driver/tile_debug.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_log/capturing_sink.hpp"
#include "zel_package/application.hpp"

namespace zel_driver {
namespace {

using namespace std::chrono_literals;
using zel_package::Application;
using zel_package::Segment;

// A simulated device of `device_tiles` tiles, watched, with a loader for a 1000-byte
// bootloader; the trace starts once the loader is made.
struct LoadRig {
  // `initial_sync_mark`: the mark the application on the simulated tiles waits for.
  explicit LoadRig(std::uint32_t device_tiles = 1472, std::uint32_t initial_sync_mark = 23)
      : sim(zel_sim::SimConfig{
            .tile_count = device_tiles, .trace = true, .initial_sync_mark = initial_sync_mark}),
        watch(sim),
        device(Device::open("/dev/zel0", watch).value()),
        loader(Loader::create(device, zel_fixtures::bootloader_elf(1000).value()).value()) {
    sim.trace().clear();
  }

  // Virtual time from the last non-zero mark the host wrote until now.
  std::chrono::nanoseconds since_last_mark() {
    std::chrono::nanoseconds marked{};
    for (const zel_sim::TraceRecord& r : sim.trace().accesses()) {
      if (r.op == zel_sim::TraceOp::Store && r.offset == HSP_SYNC_CONTROL_0 && r.value != 0) {
        marked = r.time;
      }
    }
    return sim.now() - marked;
  }

  zel_sim::SimDevice sim;
  TransportWatch watch;
  Device device;
  Loader loader;
};

std::vector<std::byte> pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::byte> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = std::byte((i * 7 + seed) % 251 + 1);
  return bytes;
}

// `tile`'s image as the bootloader must receive it: padded to the minimum length.
std::vector<std::byte> padded_image(const Application& app, std::uint32_t tile) {
  std::vector<std::byte> image = app.tile_image(tile).value();
  if (image.size() < MINIMUM_IMAGE_BYTES) image.resize(MINIMUM_IMAGE_BYTES);
  return image;
}

// The transport bytes of `batch` up to the end of its last frame, built from the protocol
// independently of the loader: the descriptor table, zeros, then each slot's framed image.
std::vector<std::byte> expected_batch(const Application& app, std::size_t batch) {
  std::vector<std::byte> bytes(FIRST_FRAME_OFFSET);
  for (std::size_t slot = 0; slot < BATCH_SLOTS; ++slot) {
    const std::uint32_t tile = app.tiles[batch * BATCH_SLOTS + slot].physical_tile;
    const std::vector<std::byte> framed = frame_tile(tile, padded_image(app, tile)).value();
    write_u32(bytes, slot * 8, static_cast<std::uint32_t>(bytes.size()));
    write_u32(bytes, slot * 8 + 4, static_cast<std::uint32_t>(framed.size() / FRAME_BYTES));
    bytes.insert(bytes.end(), framed.begin(), framed.end());
  }
  return bytes;
}

bool all_are(std::span<const std::byte> bytes, std::byte value) {
  return std::ranges::all_of(bytes, [&](std::byte b) { return b == value; });
}

// Asked right after the load: a later mapping could take the same addresses.
bool mapped(std::span<const std::byte> memory) {
  return ::msync(const_cast<std::byte*>(memory.data()), 1, MS_ASYNC) == 0;
}

std::vector<std::uint64_t> numbers(const std::vector<zel_log::RecordedEvent>& events,
                                   std::string_view field) {
  std::vector<std::uint64_t> values;
  for (const auto& event : events) values.push_back(event.number(field).value());
  return values;
}

TEST(LoaderLoad, IncompleteBatchesAreRefusedBeforeAnyDeviceAccess) {
  for (const std::uint32_t tiles : {63u, 65u, 2112u}) {
    SCOPED_TRACE(tiles);
    LoadRig rig;
    zel_log::CapturingSink sink;
    const auto loaded = rig.loader.load(zel_fixtures::idle_application(tiles), 23);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().debug(), "Invalid(\"tile count is not complete loader batches\")");
    const auto announced = sink.with_message("loading application");
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].level, zel_log::Level::Info);
    EXPECT_EQ(announced[0].number("tile_count"), tiles);
    EXPECT_EQ(announced[0].number("final_mark"), 23u);
    EXPECT_TRUE(rig.sim.trace().records().empty());
  }
}

TEST(LoaderLoad, InvalidApplicationIsPackageErrorBeforeAnything) {
  LoadRig rig;
  zel_log::CapturingSink sink;
  Application app = zel_fixtures::idle_application(64);
  app.tiles[1].physical_tile = 0;
  const auto loaded = rig.loader.load(app, 23);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().debug(), "Package(Invalid(\"duplicate physical tile 0\"))");
  EXPECT_TRUE(sink.with_message("loading application").empty());
  EXPECT_TRUE(rig.sim.trace().records().empty());
}

// Batch marks, then the sentinel, then the final mark: the batch count when it is 0.
TEST(LoaderLoad, WholeBatchesThenSentinelThenFinalMark) {
  struct Case {
    std::uint32_t tiles;
    std::uint32_t final_mark;
    std::uint32_t batches;
    std::uint32_t mark_set;
  };
  for (const Case c : {Case{1472, 23, 23, 23}, Case{1472, 0, 23, 23}, Case{2048, 7, 32, 7}}) {
    SCOPED_TRACE(c.tiles);
    SCOPED_TRACE(c.final_mark);
    LoadRig rig(c.tiles, c.mark_set);
    zel_log::CapturingSink sink;
    const auto loaded = rig.loader.load(zel_fixtures::idle_application(c.tiles), c.final_mark);
    ASSERT_TRUE(loaded) << loaded.error().debug();

    std::vector<std::uint32_t> marks(c.batches, BATCH_MARK);
    marks.push_back(SENTINEL_MARK);
    marks.push_back(c.mark_set);
    EXPECT_EQ(rig.sim.trace().stored_values(HSP_SYNC_CONTROL_0), marks);
    EXPECT_EQ(rig.sim.trace().stored_values(LOADER_SETUP), std::vector<std::uint32_t>{0x800});
    // The setup follows the autoloader's last access: the bootloader is on the tiles by then.
    const std::vector<zel_sim::TraceRecord> accesses = rig.sim.trace().accesses();
    std::size_t setup = 0, autoloader = 0;
    for (std::size_t i = 0; i < accesses.size(); ++i) {
      if (accesses[i].offset == AUTOLOADER_CONTROL) autoloader = i;
      if (accesses[i].offset == LOADER_SETUP && setup == 0) setup = i;
    }
    EXPECT_GT(setup, autoloader);

    const auto submitted = sink.with_message("submitting application tile batch");
    ASSERT_EQ(submitted.size(), c.batches);
    std::vector<std::uint64_t> batches, first_tiles;
    for (std::uint64_t b = 0; b < c.batches; ++b) {
      batches.push_back(b);
      first_tiles.push_back(64 * b);
    }
    EXPECT_EQ(numbers(submitted, "batch"), batches);
    EXPECT_EQ(numbers(submitted, "first_tile"), first_tiles);
    EXPECT_EQ(submitted[0].level, zel_log::Level::Debug);
    const auto done = sink.with_message("application loaded and initial synchronization completed");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].number("tile_count"), c.tiles);
    EXPECT_TRUE(rig.sim.refusals().empty());
    EXPECT_TRUE(rig.sim.attachments().empty());
  }
}

TEST(LoaderLoad, EveryTileHoldsItsImageAndRunsContextZero) {
  LoadRig rig;
  const Application app = zel_fixtures::idle_application(1472);
  ASSERT_TRUE(rig.loader.load(app, 23));
  EXPECT_TRUE(rig.sim.refusals().empty());
  for (std::uint32_t tile = 0; tile < 1472; ++tile) {
    std::vector<std::byte> image = padded_image(app, tile);
    image.resize(frame_count(image.size()) * FRAME_PAYLOAD_BYTES);  // zeros after the image
    ASSERT_EQ(rig.sim.tile_memory().read_bytes(tile, SECONDARY_LOADER_ADDRESS,
                                               static_cast<std::uint32_t>(image.size())),
              image)
        << "tile " << tile;
    ASSERT_EQ(rig.sim.tiles().context_state(tile, 0), TILE_CONTEXT_RUNNING) << "tile " << tile;
    for (std::uint32_t worker = 1; worker < TILE_CONTEXT_COUNT; ++worker) {
      ASSERT_EQ(rig.sim.tiles().context_state(tile, worker), TILE_CONTEXT_INACTIVE);
    }
  }
}

// Two batches: the first with a 100-byte image in slot 0 and large images after it, the
// second of minimum-size images only, so that whatever the first batch left beyond the
// second's frames must have been cleared.
TEST(LoaderLoad, TransportHoldsExactlyEachBatchThenTheSentinel) {
  LoadRig rig;
  Application app = zel_fixtures::idle_application(128);
  app.tiles[0].segments = {Segment{SECONDARY_LOADER_ADDRESS, 100, pattern(100, 0), 0x5}};
  for (std::uint32_t tile = 1; tile < 64; ++tile) {
    app.tiles[tile].segments.push_back(Segment{0x80000, 0x100, pattern(0x100, tile), 0x6});
  }
  for (std::uint32_t tile = 64; tile < 128; ++tile) {
    app.tiles[tile].segments = {Segment{SECONDARY_LOADER_ADDRESS, 0x4000, pattern(64, tile), 0x5}};
  }

  std::size_t marks_seen = 0;
  rig.watch.on_mark = [&](std::uint32_t mark, std::span<const std::byte> transport) {
    SCOPED_TRACE(marks_seen);
    ASSERT_EQ(transport.size(), TRANSPORT_BYTES);
    if (marks_seen < 2) {
      EXPECT_EQ(mark, BATCH_MARK);
      const std::vector<std::byte> expected = expected_batch(app, marks_seen);
      EXPECT_TRUE(std::ranges::equal(transport.first(expected.size()), expected));
      EXPECT_TRUE(all_are(transport.subspan(expected.size()), std::byte{0}));
    } else if (marks_seen == 2) {
      EXPECT_EQ(mark, SENTINEL_MARK);
      EXPECT_TRUE(all_are(transport, SENTINEL_FILL));
    }
    if (marks_seen == 0) {
      // The padded 100-byte image takes 17 frames from the first frame offset.
      EXPECT_EQ(read_u32(transport, 0), 0x1000u);
      EXPECT_EQ(read_u32(transport, 4), 17u);
      EXPECT_EQ(read_u32(transport, 8), 0x5400u);
    }
    ++marks_seen;
  };
  zel_log::CapturingSink sink;
  const auto loaded = rig.loader.load(app, 23);
  EXPECT_FALSE(mapped(rig.watch.transport()));
  ASSERT_TRUE(loaded) << loaded.error().debug();
  EXPECT_EQ(marks_seen, 4u);
  const auto submitted = sink.with_message("submitting application tile batch");
  ASSERT_EQ(submitted.size(), 2u);
  EXPECT_EQ(submitted[0].number("transport_bytes"), expected_batch(app, 0).size());
  EXPECT_EQ(submitted[1].number("transport_bytes"), 1'118'208u);
  EXPECT_TRUE(rig.sim.refusals().empty());
}

TEST(LoaderLoad, TileMustBeginAtTheSecondaryLoaderAddress) {
  struct Case {
    std::vector<Segment> segments;
    const char* text;
  };
  const Case cases[] = {
      {{Segment{0x4c000, 0x100, {}, 0}, Segment{0x4c100, 0x10, {}, 0}},
       "tile 5 begins at Some(311296), not secondary-loader address 0x4c010"},
      {{Segment{0x4c020, 0x100, {}, 0}},
       "tile 5 begins at Some(311328), not secondary-loader address 0x4c010"},
      {{}, "tile 5 begins at None, not secondary-loader address 0x4c010"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LoadRig rig;
    Application app = zel_fixtures::idle_application(64);
    app.tiles[5].segments = c.segments;
    zel_log::CapturingSink sink;
    const auto loaded = rig.loader.load(app, 23);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().debug(), fmt::format("Invalid(\"{}\")", c.text));
    // Found before the tile's image is asked for.
    for (const auto& event : sink.with_message("reconstructing tile image")) {
      EXPECT_NE(event.number("physical_tile"), 5u);
    }
    EXPECT_EQ(sink.with_message("reconstructing tile image").size(), 5u);
    EXPECT_TRUE(rig.sim.attachments().empty());
  }
}

// 643 frames reach 0xe7bb0 exactly; one byte more needs a 644th frame.
TEST(LoaderLoad, ImageUpToTheLargestFrameCount) {
  for (const std::uint32_t size : {637'856u, 637'857u}) {
    SCOPED_TRACE(size);
    LoadRig rig;
    Application app = zel_fixtures::idle_application(64);
    app.tiles[5].segments = {Segment{SECONDARY_LOADER_ADDRESS, size, pattern(992, 5), 0x5}};
    const auto loaded = rig.loader.load(app, 23);
    if (size == 637'856u) {
      ASSERT_TRUE(loaded) << loaded.error().debug();
      EXPECT_EQ(rig.sim.tile_memory().read_word(5, 0xe7bac), 0u);
      EXPECT_EQ(rig.sim.tile_memory().read_bytes(5, SECONDARY_LOADER_ADDRESS, 992),
                pattern(992, 5));
    } else {
      ASSERT_FALSE(loaded);
      EXPECT_EQ(loaded.error().debug(),
                "Invalid(\"tile 5 application image needs 644 frames, but the secondary loader "
                "accepts at most 643; image ends beyond 0xe7bb0\")");
    }
    EXPECT_TRUE(rig.sim.refusals().empty());
  }
}

TEST(LoaderLoad, RefusedAttachmentReleasesTheTransportAndLeavesTheExchangeBlocks) {
  LoadRig rig;
  rig.sim.faults().ioctl_failures.push_back({IOCTL_ATTACH_BUFFER, EBUSY});
  const auto loaded = rig.loader.load(zel_fixtures::idle_application(64), 23);
  EXPECT_FALSE(mapped(rig.watch.transport()));
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().display(), "attach host buffer: Device or resource busy (os error 16)");
  EXPECT_EQ(rig.sim.trace().count(zel_sim::TraceOp::Store, xb::address(0)), 0u);
  EXPECT_EQ(rig.sim.trace().count(zel_sim::TraceOp::Ioctl), 1u);  // no detach of a failed attach
}

// A handshake the device never answers ends the load 10 s after its mark, with the exchange
// blocks restored and the transport detached and unmapped.
TEST(LoaderLoad, UnansweredHandshakeTimesOutAndLetsGoOfEverything) {
  struct Case {
    void (*fault)(zel_sim::Faults&);
    const char* text;
  };
  const Case cases[] = {
      {[](zel_sim::Faults& f) { f.bootloader_batch_unacknowledged = 0; },
       "bootloader batch 0: device timeout: HSP register 0x302c: expected 0, observed 1"},
      {[](zel_sim::Faults& f) { f.bootloader_sentinel_unacknowledged = true; },
       "execute sentinel: device timeout: HSP register 0x302c: expected 0, observed 1"},
      {[](zel_sim::Faults& f) { f.bootloader_final_mark_unacknowledged = true; },
       "application initial sync: device timeout: HSP register 0x302c: expected 0, observed 23"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    LoadRig rig;
    c.fault(rig.sim.faults());
    rig.sim.poke(CCSR, 0xffffffff);
    const auto loaded = rig.loader.load(zel_fixtures::idle_application(64), 23);
    EXPECT_FALSE(mapped(rig.watch.transport()));
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().debug(), fmt::format("Timeout(\"{}\")", c.text));
    EXPECT_GE(rig.since_last_mark(), 10s);
    EXPECT_LT(rig.since_last_mark(), 10s + 1ms);
    for (std::size_t i = 0; i < xb::INSTANCES; ++i) {
      EXPECT_EQ(rig.sim.peek(xb::address(i)), i < 8 ? 0x2u : 0x20820au);
    }
    EXPECT_EQ(rig.sim.peek(CCSR), 0xffffffffu);
    EXPECT_TRUE(rig.sim.attachments().empty());
    EXPECT_TRUE(rig.sim.refusals().empty());
  }
}

}  // namespace
}  // namespace zel_driver
