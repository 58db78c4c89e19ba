#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zel_driver/bytes.hpp"
#include "zel_driver/device.hpp"
#include "zel_driver/loader_transport.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/tile_debug.hpp"
#include "zel_driver/tile_framing.hpp"
#include "zel_sim/sim_device.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;
using namespace zel_driver;

constexpr std::size_t SMALL_TRANSPORT = 0x20000;

std::vector<std::byte> image_of(std::size_t size, std::uint32_t seed) {
  std::vector<std::byte> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = std::byte((i * 13 + seed) % 251 + 1);
  return image;
}

// A 128-tile device whose tiles 0 to 63 run the bootloader, with a hand-built transport
// attached under index 0.
struct BootloaderRig {
  BootloaderRig()
      : sim(SimConfig{.tile_count = 128}), device(Device::open("/dev/zel0", sim).value()) {
    EXPECT_TRUE(device.initialize_tile_memory(64, image_of(1024, 0)));
    EXPECT_TRUE(device.attach_buffer(TRANSPORT_INDEX, transport.data(), transport.size()));
  }

  void describe(std::size_t slot, std::uint32_t offset, std::uint32_t frames) {
    write_u32(transport, slot * DESCRIPTOR_BYTES, offset);
    write_u32(transport, slot * DESCRIPTOR_BYTES + 4, frames);
  }
  // Frames `image` for `tile` at `offset` and describes it in `slot`.
  void put(std::size_t slot, std::uint32_t offset, std::uint32_t tile,
           const std::vector<std::byte>& image) {
    const std::vector<std::byte> framed = frame_tile(tile, image).value();
    std::ranges::copy(framed, transport.begin() + offset);
    describe(slot, offset, static_cast<std::uint32_t>(framed.size() / FRAME_BYTES));
  }
  std::span<std::byte> frame(std::uint32_t offset, std::size_t n) {
    return std::span(transport).subspan(offset + n * FRAME_BYTES, FRAME_BYTES);
  }
  // Sets `mark` and tells whether the device has cleared it `after` that.
  bool cleared_after(std::uint32_t mark, std::chrono::nanoseconds after) {
    EXPECT_TRUE(device.write_config(HSP_SYNC_CONTROL_0, mark));
    sim.sleep_for(after);
    return sim.peek(HSP_SYNC_CONTROL_0) == 0;
  }

  SimDevice sim;
  Device device;
  std::vector<std::byte> transport = std::vector<std::byte>(SMALL_TRANSPORT);
};

// A batch takes a fixed set-up plus a time proportional to what it read: here the descriptor
// table and three frames.
TEST(SimBootloader, BatchWritesPayloadsAndClearsAfterItsTransfer) {
  BootloaderRig rig;
  const auto first = image_of(1500, 3);
  const auto second = image_of(100, 9);
  rig.put(0, 0x1000, 3, first);
  rig.put(2, 0x1800, 9, second);

  const std::chrono::nanoseconds transfer =
      SimBootloader::BATCH_SETUP_TIME +
      (512 + 3 * 1024) * SimBootloader::TRANSFER_TIME_PER_KIB / 1024;
  EXPECT_FALSE(rig.cleared_after(BATCH_MARK, transfer - 1ns));
  rig.sim.sleep_for(1ns);
  EXPECT_EQ(rig.sim.peek(HSP_SYNC_CONTROL_0), 0u);

  std::vector<std::byte> expected = first;
  expected.resize(2 * FRAME_PAYLOAD_BYTES);
  EXPECT_EQ(rig.sim.tile_memory().read_bytes(3, SECONDARY_LOADER_ADDRESS, 2 * 992), expected);
  expected = second;
  expected.resize(FRAME_PAYLOAD_BYTES);
  EXPECT_EQ(rig.sim.tile_memory().read_bytes(9, SECONDARY_LOADER_ADDRESS, 992), expected);
  // The bootloader's first 16 bytes stay below the secondary-loader address.
  const std::vector<std::byte> bootloader = image_of(1024, 0);
  EXPECT_EQ(rig.sim.tile_memory().read_bytes(3, 0x4c000, 16),
            std::vector(bootloader.begin(), bootloader.begin() + 16));
  EXPECT_TRUE(rig.sim.refusals().empty());
}

TEST(SimBootloader, MalformedBatchIsReportedAndKeepsTheMark) {
  struct Case {
    std::function<void(BootloaderRig&)> spoil;
    std::string report;
    std::uint32_t mark = BATCH_MARK;
  };
  const std::string slot0 = "bootloader batch 0 slot 0: ";
  const Case cases[] = {
      {[](BootloaderRig& r) { write_u32(r.frame(0x1000, 1), 0, 5); },
       slot0 + "tile 3 frame 1: frame number 5, expected 1"},
      {[](BootloaderRig& r) { write_u32(r.frame(0x1000, 1), 4, 4); },
       slot0 + "tile 3 frame 1: tile 4, expected 3"},
      {[](BootloaderRig& r) { r.put(0, 0x1000, 64, image_of(1500, 3)); },
       slot0 + "tile 64 frame 0: tile runs no bootloader"},
      {[](BootloaderRig& r) { write_u32(r.frame(0x1000, 0), 8, LAST_FRAME_FLAG); },
       slot0 + "tile 3 frame 0: flags 0x8000000, expected 0x0"},
      {[](BootloaderRig& r) { write_u32(r.frame(0x1000, 1), 8, 0); },
       slot0 + "tile 3 frame 1: flags 0x0, expected 0x8000000"},
      {[](BootloaderRig& r) { write_u32(r.frame(0x1000, 0), 12, 1); },
       slot0 + "tile 3 frame 0: reserved word 0x1, expected 0"},
      {[](BootloaderRig& r) { r.frame(0x1000, 1).back() = std::byte{0}; },
       slot0 + "tile 3 frame 1: trailer is not 16 bytes of 0xff"},
      {[](BootloaderRig& r) { r.describe(0, 0x1000, 644); },
       slot0 + "644 frames at 0x1000, expected 1 to 643"},
      {[](BootloaderRig& r) { r.describe(5, 0x1000, 0); },
       "bootloader batch 0 slot 5: 0 frames at 0x1000, expected 1 to 643"},
      {[](BootloaderRig& r) { r.describe(0, SMALL_TRANSPORT - 0x400, 2); },
       slot0 + "frames 0x1fc00..0x20400 outside the 0x20000-byte transport"},
      {[](BootloaderRig& r) { r.device.detach_buffer(TRANSPORT_INDEX); },
       "bootloader: no transport attached under index 0"},
      {[](BootloaderRig&) {},
       "bootloader: mark 2 while waiting for a batch or the execute sentinel", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    BootloaderRig rig;
    rig.put(0, 0x1000, 3, image_of(1500, 3));
    c.spoil(rig);
    EXPECT_FALSE(rig.cleared_after(c.mark, 1s));
    EXPECT_EQ(rig.sim.refusals(), std::vector<std::string>{c.report});
  }
}

TEST(SimBootloader, SentinelStartsTheTilesAndTheNextMarkIsTheInitialSync) {
  BootloaderRig rig;
  rig.put(0, 0x1000, 3, image_of(1500, 3));
  ASSERT_TRUE(rig.cleared_after(BATCH_MARK, 1ms));

  std::ranges::fill(rig.transport, SENTINEL_FILL);
  EXPECT_FALSE(rig.cleared_after(SENTINEL_MARK, SimBootloader::START_TIME - 1ns));
  rig.sim.sleep_for(1ns);
  EXPECT_EQ(rig.sim.peek(HSP_SYNC_CONTROL_0), 0u);
  EXPECT_EQ(rig.sim.tiles().context_state(3, 0), TILE_CONTEXT_INACTIVE);

  // The initial sync: whatever the mark, and even with the sentinel still in place.
  EXPECT_FALSE(rig.cleared_after(SENTINEL_MARK, SimBootloader::INITIAL_SYNC_TIME - 1ns));
  rig.sim.sleep_for(1ns);
  EXPECT_EQ(rig.sim.peek(HSP_SYNC_CONTROL_0), 0u);
  EXPECT_EQ(rig.sim.tiles().context_state(3, 0), TILE_CONTEXT_RUNNING);
  for (std::uint32_t worker = 1; worker < TILE_CONTEXT_COUNT; ++worker) {
    EXPECT_EQ(rig.sim.tiles().context_state(3, worker), TILE_CONTEXT_INACTIVE);
  }
  EXPECT_EQ(rig.sim.tiles().context_state(4, 0), TILE_CONTEXT_INACTIVE);  // received no image

  // From then on marks get the device's default acknowledgement.
  rig.device.detach_buffer(TRANSPORT_INDEX);
  EXPECT_TRUE(rig.cleared_after(BATCH_MARK, SimHostSync::ACKNOWLEDGE_DELAY));
  EXPECT_TRUE(rig.sim.refusals().empty());
}

TEST(SimBootloader, MemoryResetLeavesTheTilesWithoutAProgram) {
  BootloaderRig rig;
  ASSERT_TRUE(rig.device.reset_tile_memory(64));
  rig.device.detach_buffer(TRANSPORT_INDEX);
  EXPECT_TRUE(rig.cleared_after(BATCH_MARK, SimHostSync::ACKNOWLEDGE_DELAY));
  EXPECT_TRUE(rig.sim.refusals().empty());
}

// A hanging bootloader leaves its mark set without a report; the marks before it are answered.
TEST(SimBootloader, HangingFaultsKeepTheirMarkSet) {
  struct Case {
    std::function<void(Faults&)> fault;
    std::vector<bool> cleared;  // batch, batch, sentinel, final mark
  };
  const Case cases[] = {
      {[](Faults& f) { f.bootloader_batch_unacknowledged = 1; }, {true, false}},
      {[](Faults& f) { f.bootloader_sentinel_unacknowledged = true; }, {true, true, false}},
      {[](Faults& f) { f.bootloader_final_mark_unacknowledged = true; }, {true, true, true, false}},
      {[](Faults& f) { f.hsp_marks_kept_from = 2; }, {true, false}},
  };
  for (const Case& c : cases) {
    BootloaderRig rig;
    c.fault(rig.sim.faults());
    rig.put(0, 0x1000, 3, image_of(1500, 3));
    std::vector<bool> cleared;
    for (std::size_t step = 0; step < c.cleared.size(); ++step) {
      if (step == 2) std::ranges::fill(rig.transport, SENTINEL_FILL);
      cleared.push_back(rig.cleared_after(step < 3 ? BATCH_MARK : 23, 1s));
    }
    EXPECT_EQ(cleared, c.cleared);
    EXPECT_TRUE(rig.sim.refusals().empty());
  }
}

}  // namespace
}  // namespace zel_sim
