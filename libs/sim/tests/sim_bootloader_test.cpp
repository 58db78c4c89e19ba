#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/mman.h>

#include <gtest/gtest.h>

#include "bare_host.hpp"
#include "zel_base/little_endian.hpp"
#include "zel_sim/protocol/kernel_interface.hpp"
#include "zel_sim/protocol/registers.hpp"
#include "zel_sim/protocol/tile_debug.hpp"
#include "zel_sim/protocol/transport.hpp"

namespace zel_sim {
namespace {

using namespace std::chrono_literals;
using namespace transport;
using reg::HSP_SYNC_CONTROL_0;
using testing::BareHost;
using zel_base::store_u32_le;

constexpr std::uint32_t FINAL_MARK = 23;

std::vector<std::byte> image_of(std::size_t size, std::uint32_t seed) {
  std::vector<std::byte> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = std::byte((i * 13 + seed) % 251 + 1);
  return image;
}

// The frames of `image` for `tile`, laid out by hand.
std::vector<std::byte> framed(std::uint32_t tile, const std::vector<std::byte>& image) {
  const std::size_t frames = (image.size() + FRAME_PAYLOAD_BYTES - 1) / FRAME_PAYLOAD_BYTES;
  std::vector<std::byte> out(frames * FRAME_BYTES);
  for (std::size_t n = 0; n < frames; ++n) {
    const std::span<std::byte> frame = std::span(out).subspan(n * FRAME_BYTES, FRAME_BYTES);
    store_u32_le(frame, 0, static_cast<std::uint32_t>(n));
    store_u32_le(frame, 4, tile);
    store_u32_le(frame, 8, n + 1 == frames ? 0x08000000 : 0);
    const std::size_t from = n * FRAME_PAYLOAD_BYTES;
    const std::size_t size = std::min(FRAME_PAYLOAD_BYTES, image.size() - from);
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(from), size, frame.begin() + 16);
    std::fill(frame.end() - 16, frame.end(), std::byte{0xff});
  }
  return out;
}

const std::vector<std::byte> BOOTLOADER = image_of(1024, 0);

std::span<std::byte> zeroed(std::span<std::byte> bytes) {
  std::ranges::fill(bytes, std::byte{0});
  return bytes;
}

// A device whose tiles 0 to `tiles` - 1 run the bootloader, with a transport attached under
// index 0, the loader set up and the exchange blocks held for the transfer, as the host leaves
// them before its first batch.
struct BootloaderRig {
  explicit BootloaderRig(std::uint32_t tiles = 64)
      : sim(SimConfig{.tile_count = 128, .initial_sync_mark = FINAL_MARK}), host(sim) {
    host.initialize_tiles(tiles, BOOTLOADER);
    EXPECT_EQ(host.attach_buffer(INDEX, transport), 0);
    host.write(reg::LOADER_SETUP, 0x800);
    for (std::size_t i = 0; i < 16; ++i) host.write(xb::control_register(i), 0x7fffffa);
    host.write(reg::CCSR, host.read(reg::CCSR) & ~0x402u);
    for (std::size_t i = 0; i < 8; ++i) host.write(xb::control_register(i), 0x2);
  }

  void describe(std::size_t slot, std::uint32_t offset, std::uint32_t frames) {
    store_u32_le(transport, slot * 8, offset);
    store_u32_le(transport, slot * 8 + 4, frames);
  }
  // Frames `image` for `tile` at `offset` and describes it in `slot`; where the next begins.
  std::uint32_t put(std::size_t slot, std::uint32_t offset, std::uint32_t tile,
                    const std::vector<std::byte>& image) {
    const std::vector<std::byte> frames = framed(tile, image);
    std::ranges::copy(frames, transport.begin() + offset);
    describe(slot, offset, static_cast<std::uint32_t>(frames.size() / FRAME_BYTES));
    return offset + static_cast<std::uint32_t>(frames.size());
  }
  // A whole batch for tiles `first` to `first` + 63, the smallest images, tile 3's larger;
  // the offsets of the slots. Written over a transport cleared first, or over what it holds.
  std::vector<std::uint32_t> batch(std::uint32_t first = 0, bool cleared = true) {
    if (cleared) std::ranges::fill(transport, std::byte{0});
    std::vector<std::uint32_t> offsets{0x1000};
    for (std::uint32_t slot = 0; slot < 64; ++slot) {
      const std::uint32_t tile = first + slot;
      const std::size_t size = tile == 3 ? MINIMUM_IMAGE_BYTES + 1500 : MINIMUM_IMAGE_BYTES;
      offsets.push_back(put(slot, offsets.back(), tile, image_of(size, tile)));
    }
    return offsets;
  }
  std::span<std::byte> frame(std::uint32_t offset, std::size_t n) {
    return std::span(transport).subspan(offset + n * FRAME_BYTES, FRAME_BYTES);
  }
  // Sets `mark`, after the barrier as the loader does unless told otherwise, and tells whether
  // the device has cleared it `after` that.
  bool cleared_after(std::uint32_t mark, std::chrono::nanoseconds after) {
    if (ordered) sim.to_device_barrier();
    host.write(HSP_SYNC_CONTROL_0, mark);
    sim.sleep_for(after);
    return sim.peek(HSP_SYNC_CONTROL_0) == 0;
  }

  bool ordered = true;
  // Page-aligned as the host's mappings are, so the device can watch what the host writes.
  std::unique_ptr<std::byte, decltype(&std::free)> memory{
      static_cast<std::byte*>(std::aligned_alloc(4096, BYTES)), &std::free};
  std::span<std::byte> transport = zeroed({memory.get(), BYTES});
  SimDevice sim;
  BareHost host;
};

// A batch takes a fixed set-up plus a time proportional to what it read: the descriptor
// table and the frames.
TEST(SimBootloader, BatchWritesPayloadsAndClearsAfterItsTransfer) {
  BootloaderRig rig;
  const std::vector<std::uint32_t> offsets = rig.batch();
  const std::chrono::nanoseconds transfer =
      SimBootloader::BATCH_SETUP_TIME +
      offsets.back() * SimBootloader::TRANSFER_TIME_PER_KIB / 1024;
  EXPECT_FALSE(rig.cleared_after(TRANSFER_MARK, transfer - 1ns));
  rig.sim.sleep_for(1ns);
  EXPECT_EQ(rig.sim.peek(HSP_SYNC_CONTROL_0), 0u);

  std::vector<std::byte> expected = image_of(MINIMUM_IMAGE_BYTES + 1500, 3);
  expected.resize(19 * FRAME_PAYLOAD_BYTES);
  EXPECT_EQ(rig.sim.tile_memory().read_bytes(3, SECONDARY_LOADER_ADDRESS, 19 * 992), expected);
  // The bootloader's first 16 bytes stay below the secondary-loader address.
  EXPECT_EQ(rig.sim.tile_memory().read_bytes(3, BOOTLOADER_ADDRESS, 16),
            std::vector(BOOTLOADER.begin(), BOOTLOADER.begin() + 16));
}

TEST(SimBootloader, BatchNotAsTheLoaderLaysItOutIsRefusedAndKeepsTheMark) {
  struct Case {
    std::function<void(BootloaderRig&, const std::vector<std::uint32_t>& offsets)> spoil;
    std::string refusal;
    std::uint32_t mark = TRANSFER_MARK;
  };
  using Offsets = const std::vector<std::uint32_t>&;
  const std::string slot0 = "bootloader batch 0 slot 0: ";
  const std::string slot1 = "bootloader batch 0 slot 1: ";
  const Case cases[] = {
      {[](BootloaderRig& r, Offsets) { store_u32_le(r.frame(0x1000, 1), 0, 5); },
       slot0 + "tile 0 frame 1: frame number 5, expected 1"},
      {[](BootloaderRig& r, Offsets) { store_u32_le(r.frame(0x1000, 1), 4, 4); },
       slot0 + "tile 0 frame 1: tile 4, expected 0"},
      {[](BootloaderRig& r, Offsets) { store_u32_le(r.frame(0x1000, 0), 8, LAST_FRAME_FLAG); },
       slot0 + "tile 0 frame 0: flags 0x8000000, expected 0x0"},
      {[](BootloaderRig& r, Offsets) { store_u32_le(r.frame(0x1000, 16), 8, 0); },
       slot0 + "tile 0 frame 16: flags 0x0, expected 0x8000000"},
      {[](BootloaderRig& r, Offsets) { store_u32_le(r.frame(0x1000, 0), 12, 1); },
       slot0 + "tile 0 frame 0: reserved word 0x1, expected 0"},
      {[](BootloaderRig& r, Offsets) { r.frame(0x1000, 1).back() = std::byte{0}; },
       slot0 + "tile 0 frame 1: trailer is not 16 bytes of 0xff"},
      {[](BootloaderRig& r, Offsets o) { r.put(1, o[1], 64, image_of(MINIMUM_IMAGE_BYTES, 1)); },
       slot1 + "tile 64 runs no bootloader"},
      {[](BootloaderRig& r, Offsets o) { r.put(1, o[1], 0, image_of(MINIMUM_IMAGE_BYTES, 1)); },
       slot1 + "tile 0 loaded twice"},
      {[](BootloaderRig& r, Offsets) { r.describe(0, 0x1000, 644); },
       slot0 + "644 frames at 0x1000, expected 17 to 643"},
      {[](BootloaderRig& r, Offsets) { r.describe(0, 0x1000, 16); },
       slot0 + "16 frames at 0x1000, expected 17 to 643"},
      {[](BootloaderRig& r, Offsets) { r.describe(5, 0, 0); },
       "bootloader batch 0 slot 5: 0 frames at 0x0, expected 17 to 643"},
      {[](BootloaderRig& r, Offsets o) { r.describe(1, o[1] + 0x400, 17); },
       slot1 + "image at 0x5800, expected 0x5400"},
      {[](BootloaderRig& r, Offsets) { r.transport[0x200] = std::byte{1}; },
       "bootloader batch 0: bytes between the descriptor table and 0x1000 not zero"},
      {[](BootloaderRig& r, Offsets o) { r.transport[o.back() + 5] = std::byte{1}; },
       "bootloader batch 0: bytes after the last image at 0x111800 not zero"},
      {[](BootloaderRig& r, Offsets) { r.host.write(reg::LOADER_SETUP, 0); },
       "bootloader batch 0: loader setup 0x0, expected 0x800"},
      {[](BootloaderRig& r, Offsets) { r.host.write(0x1b804, 0x20820a); },
       "bootloader: exchange block 8 at 0x20820a, expected 0x7fffffa"},
      {[](BootloaderRig& r, Offsets) { r.host.write(0x7004, 0x7fffffa); },
       "bootloader: exchange block 7 at 0x7fffffa, expected 0x2"},
      {[](BootloaderRig& r, Offsets) { r.host.write(reg::CCSR, 0x2); },
       "bootloader: CCSR 0x2 with bits 1 or 10 set"},
      {[](BootloaderRig& r, Offsets) { r.host.initialize_tiles(64, BOOTLOADER); },
       "bootloader: exchange block 0 never held for the transfer"},
      {[](BootloaderRig& r, Offsets) { r.host.request(kernel::DETACH_BUFFER, INDEX); },
       "bootloader: no transport attached under index 0"},
      {[](BootloaderRig& r, Offsets) {
         r.host.request(kernel::DETACH_BUFFER, INDEX);
         r.host.attach_buffer(INDEX, std::span(r.transport).first(0x20000));
       },
       "bootloader: a 0x20000-byte transport, expected 0x2842000"},
      {[](BootloaderRig&, Offsets) {},
       "bootloader: mark 2 while waiting for a batch or the execute sentinel", 2},
      {[](BootloaderRig& r, Offsets) { r.ordered = false; },
       "bootloader: mark 1 announces the transport with no barrier since the previous mark"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    BootloaderRig rig;
    c.spoil(rig, rig.batch());
    EXPECT_FALSE(rig.cleared_after(c.mark, 1s));
    EXPECT_EQ(rig.sim.take_refusals(), std::vector<std::string>{c.refusal});
  }
}

// A later batch is written over what the earlier one left: whatever the host leaves or writes
// after its last image is refused however little of the transport it wrote since.
TEST(SimBootloader, LaterBatchSeesEveryNonZeroByteAfterItsLastImage) {
  struct Case {
    std::function<void(BootloaderRig&)> spoil;
    std::string refusal;
  };
  const std::string batch1 = "bootloader batch 1: bytes after the last image at 0x111000 not zero";
  const Case cases[] = {
      // The second batch's images are 2 frames shorter than the first's.
      {[](BootloaderRig&) {}, batch1},
      {[](BootloaderRig& r) {
         std::ranges::fill(r.transport.subspan(0x111000, 0x800), std::byte{0});
         r.transport[BYTES - 1] = std::byte{1};
       },
       batch1},
      {[](BootloaderRig& r) {
         std::ranges::fill(r.transport.subspan(0x111000, 0x800), std::byte{0});
         r.transport[0x200000] = std::byte{1};
       },
       batch1},
      {[](BootloaderRig& r) {
         std::ranges::fill(r.transport.subspan(0x111000, 0x800), std::byte{0});
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    BootloaderRig rig(128);
    rig.batch(0);
    ASSERT_TRUE(rig.cleared_after(TRANSFER_MARK, 1ms));
    rig.batch(64, false);
    c.spoil(rig);
    EXPECT_EQ(rig.cleared_after(TRANSFER_MARK, 1ms), c.refusal.empty());
    EXPECT_EQ(rig.sim.take_refusals(),
              c.refusal.empty() ? std::vector<std::string>{} : std::vector{c.refusal});
  }
}

// Host memory the kernel made is known zero until written: a stray byte the host wrote before
// the first batch is seen all the same.
TEST(SimBootloader, TransportTheKernelMadeIsWatchedFromTheStart) {
  for (const bool stray : {false, true}) {
    SCOPED_TRACE(stray);
    BootloaderRig rig;
    void* made = rig.sim.map_anonymous(BYTES);
    ASSERT_NE(made, MAP_FAILED);
    rig.host.request(kernel::DETACH_BUFFER, INDEX);
    rig.transport = {static_cast<std::byte*>(made), BYTES};
    ASSERT_EQ(rig.host.attach_buffer(INDEX, rig.transport), 0);
    if (stray) rig.transport[BYTES - 1] = std::byte{1};
    rig.batch(0, false);
    EXPECT_EQ(rig.cleared_after(TRANSFER_MARK, 1ms), !stray);
    EXPECT_EQ(rig.sim.take_refusals(),
              stray ? std::vector<std::string>{"bootloader batch 0: bytes after the last image at "
                                               "0x111800 not zero"}
                    : std::vector<std::string>{});
    rig.host.request(kernel::DETACH_BUFFER, INDEX);
    EXPECT_EQ(rig.sim.unmap(made, BYTES), 0);
  }
}

TEST(SimBootloader, SentinelStartsTheTilesAndTheFinalMarkIsTheInitialSync) {
  BootloaderRig rig(128);
  rig.batch(0);
  ASSERT_TRUE(rig.cleared_after(TRANSFER_MARK, 1ms));
  std::ranges::fill(rig.transport, std::byte{SENTINEL_FILL});
  EXPECT_FALSE(rig.cleared_after(TRANSFER_MARK, 1s));
  EXPECT_EQ(rig.sim.take_refusals(),
            std::vector<std::string>{"bootloader: execute sentinel before tile 64 was loaded"});

  rig.batch(64);
  ASSERT_TRUE(rig.cleared_after(TRANSFER_MARK, 1ms));
  std::ranges::fill(rig.transport, std::byte{SENTINEL_FILL});
  EXPECT_FALSE(rig.cleared_after(TRANSFER_MARK, SimBootloader::START_TIME - 1ns));
  rig.sim.sleep_for(1ns);
  EXPECT_EQ(rig.sim.peek(HSP_SYNC_CONTROL_0), 0u);
  EXPECT_EQ(rig.sim.tiles().context_state(3, 0), tdi::INACTIVE);

  // The application waits for its own mark, with the blocks still held.
  EXPECT_FALSE(rig.cleared_after(FINAL_MARK - 1, 1s));
  rig.host.write(0x1d404, 0x20820a);
  EXPECT_FALSE(rig.cleared_after(FINAL_MARK, 1s));
  EXPECT_EQ(rig.sim.take_refusals(),
            (std::vector<std::string>{
                "bootloader: final mark 22, the application waits for 23",
                "bootloader: final mark with exchange block 15 at 0x20820a, expected 0x7fffffa"}));
  rig.host.write(0x1d404, 0x7fffffa);
  EXPECT_FALSE(rig.cleared_after(FINAL_MARK, SimBootloader::INITIAL_SYNC_TIME - 1ns));
  rig.sim.sleep_for(1ns);
  EXPECT_EQ(rig.sim.peek(HSP_SYNC_CONTROL_0), 0u);
  for (const std::uint32_t tile : {3u, 127u}) {
    EXPECT_EQ(rig.sim.tiles().context_state(tile, 0), tdi::RUNNING);
    for (std::uint32_t worker = 1; worker < tdi::CONTEXTS; ++worker) {
      EXPECT_EQ(rig.sim.tiles().context_state(tile, worker), tdi::INACTIVE);
    }
  }

  // From then on marks get the device's default acknowledgement.
  rig.host.request(kernel::DETACH_BUFFER, INDEX);
  EXPECT_TRUE(rig.cleared_after(TRANSFER_MARK, SimHostSync::ACKNOWLEDGE_DELAY));
}

TEST(SimBootloader, MemoryResetLeavesTheTilesWithoutAProgram) {
  BootloaderRig rig;
  rig.host.initialize_tiles(64, std::vector<std::byte>(1024));
  rig.host.request(kernel::DETACH_BUFFER, INDEX);
  EXPECT_TRUE(rig.cleared_after(TRANSFER_MARK, SimHostSync::ACKNOWLEDGE_DELAY));
}

// A hanging bootloader leaves its mark set without a refusal; the marks before it are answered.
TEST(SimBootloader, HangingFaultsKeepTheirMarkSet) {
  struct Case {
    std::function<void(Faults&)> fault;
    std::vector<bool> cleared;  // batch, batch, sentinel, final mark
    std::uint64_t FaultFirings::*fired;
  };
  const Case cases[] = {
      {[](Faults& f) { f.bootloader_batch_unacknowledged = 1; },
       {true, false},
       &FaultFirings::bootloader_batch_unacknowledged},
      {[](Faults& f) { f.bootloader_sentinel_unacknowledged = true; },
       {true, true, false},
       &FaultFirings::bootloader_sentinel_unacknowledged},
      {[](Faults& f) { f.bootloader_final_mark_unacknowledged = true; },
       {true, true, true, false},
       &FaultFirings::bootloader_final_mark_unacknowledged},
      {[](Faults& f) { f.hsp_marks_kept_from = 2; },
       {true, false},
       &FaultFirings::hsp_marks_kept_from},
  };
  for (const Case& c : cases) {
    BootloaderRig rig(128);
    c.fault(rig.sim.faults());
    std::vector<bool> cleared;
    for (std::size_t step = 0; step < c.cleared.size(); ++step) {
      if (step < 2) rig.batch(64 * static_cast<std::uint32_t>(step));
      if (step == 2) std::ranges::fill(rig.transport, std::byte{SENTINEL_FILL});
      cleared.push_back(rig.cleared_after(step < 3 ? TRANSFER_MARK : FINAL_MARK, 1s));
    }
    EXPECT_EQ(cleared, c.cleared);
    EXPECT_EQ(rig.sim.fault_firings().*c.fired, 1u);
  }
}

}  // namespace
}  // namespace zel_sim
