#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "log_target.hpp"
#include "transport_batches.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/buffer_attachments.hpp"
#include "zel_driver/exchange_buffer.hpp"
#include "zel_driver/host_buffer.hpp"
#include "zel_driver/loader.hpp"
#include "zel_driver/registers.hpp"
#include "zel_driver/transport.hpp"
#include "zel_log/log.hpp"
#include "zel_package/application.hpp"

namespace zel_driver {
namespace {

using zel_package::Application;
using zel_package::TileImage;

bool complete_batches(std::size_t tile_count) {
  return tile_count != 0 && tile_count % BATCH_SLOTS == 0 &&
         tile_count <= LOADER_LARGEST_TILE_COUNT;
}

// The bootloader hands over to the image at the secondary-loader address, so that is where
// every image must begin.
[[nodiscard]] Status check_image_start(const TileImage& tile) {
  const auto lowest = std::ranges::min_element(tile.segments, {}, &zel_package::Segment::address);
  const std::optional<std::uint32_t> start =
      lowest == tile.segments.end() ? std::nullopt : std::optional(lowest->address);
  if (start == SECONDARY_LOADER_ADDRESS) return {};
  const std::string shown = start ? fmt::format("Some({})", *start) : std::string("None");
  return std::unexpected(
      DriverError::invalid(fmt::format("tile {} begins at {}, not secondary-loader address 0x{:x}",
                                       tile.physical_tile, shown, SECONDARY_LOADER_ADDRESS)));
}

// Frames the tile's image into the batch's `slot`, straight from its segments: validation has
// checked them, so the image is laid out from the record itself.
[[nodiscard]] Status add_tile(const TileImage& tile, std::size_t slot,
                              TransportBatches& transport) {
  ZEL_TRY(check_image_start(tile));
  const zel_package::TileImageExtent extent = zel_package::tile_image_extent(tile);
  const std::size_t image_bytes = std::max(extent.bytes, MINIMUM_IMAGE_BYTES);
  if (const std::size_t frames = frame_count(image_bytes); frames > MAX_TILE_FRAMES) {
    return std::unexpected(DriverError::invalid(fmt::format(
        "tile {} application image needs {} frames, but the secondary loader accepts at most "
        "{}; image ends beyond 0x{:x}",
        tile.physical_tile, frames, MAX_TILE_FRAMES, SECONDARY_LOADER_END)));
  }
  const auto image = [&](std::size_t offset, std::span<std::byte> out) {
    zel_package::copy_tile_image(tile, extent.load_base, offset, out);
  };
  return transport.add_tile(slot, tile.physical_tile, image_bytes, image);
}

// The device acknowledges by clearing HSP_SYNC_CONTROL_0. Whatever ends the wait, the load
// reports it as a timeout of the step that waited.
[[nodiscard]] Status wait_for_device(const Device& device, std::string_view step) {
  auto waited = device.wait_mark(HSP_SYNC_CONTROL_0, 0, LOADER_WAIT_TIMEOUT);
  if (waited) return {};
  return std::unexpected(
      DriverError::timeout(fmt::format("{}: {}", step, waited.error().display())));
}

// The device reads the transport once the mark is set: every write to it must be complete
// by then.
[[nodiscard]] Status signal_device(const Device& device, std::uint32_t mark) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  return device.set_mark(mark);
}

[[nodiscard]] Status send_batch(const Device& device, const Application& app, std::size_t batch,
                                TransportBatches& transport) {
  const std::size_t first = batch * BATCH_SLOTS;
  transport.begin_batch();
  for (std::size_t slot = 0; slot < BATCH_SLOTS; ++slot) {
    ZEL_TRY(add_tile(app.tiles[first + slot], slot, transport));
  }
  transport.end_batch();
  zel_log::emit(zel_log::Level::Debug, LOG_TARGET, "submitting application tile batch",
                {{"batch", std::uint64_t{batch}},
                 {"first_tile", std::uint64_t{first}},
                 {"transport_bytes", std::uint64_t{transport.cursor()}}});
  ZEL_TRY(signal_device(device, BATCH_MARK));
  return wait_for_device(device, fmt::format("bootloader batch {}", batch));
}

[[nodiscard]] Status start_application(const Device& device, std::uint32_t final_mark,
                                       std::size_t batches, TransportBatches& transport) {
  transport.fill_sentinel();
  ZEL_TRY(wait_for_device(device, "before execute sentinel"));
  ZEL_TRY(signal_device(device, SENTINEL_MARK));
  ZEL_TRY(wait_for_device(device, "execute sentinel"));
  const auto mark = final_mark != 0 ? final_mark : static_cast<std::uint32_t>(batches);
  ZEL_TRY(signal_device(device, mark));
  return wait_for_device(device, "application initial sync");
}

}  // namespace

Status Loader::load(const Application& app, std::uint32_t final_mark) const {
  // The owners below put the device back as unwinding lets them go.
  return with_allocation_failure_as_error("load application",
                                          [&] { return load_in_memory(app, final_mark); });
}

Status Loader::load_in_memory(const Application& app, std::uint32_t final_mark) const {
  ZEL_TRY(app.validate());
  const std::size_t tile_count = app.tiles.size();
  zel_log::emit(
      zel_log::Level::Info, LOG_TARGET, "loading application",
      {{"tile_count", std::uint64_t{tile_count}}, {"final_mark", std::uint64_t{final_mark}}});
  if (!complete_batches(tile_count)) {
    return std::unexpected(DriverError::invalid("tile count is not complete loader batches"));
  }
  const Device& device = *device_;
  ZEL_TRY(device.initialize_tile_memory(tile_count, bootloader_));
  ZEL_TRY(device.write_config(LOADER_SETUP, LOADER_SETUP_VALUE));

  // Declared in this order so that leaving, on every path, restores the exchange blocks
  // before the transport is withdrawn from the device, and withdraws it before unmapping it.
  ZEL_TRY_ASSIGN(auto transport, HostBuffer::create(device.backend(), TRANSPORT_BYTES));
  BufferAttachments attachments(device);
  ZEL_TRY(attachments.attach(TRANSPORT_INDEX, transport.data(), transport.size()));
  ZEL_TRY_ASSIGN(auto guard, ExchangeBufferGuard::create(device));
  ZEL_TRY(guard.restore_primary());

  TransportBatches batches(transport.bytes_mut());
  const std::size_t batch_count = tile_count / BATCH_SLOTS;
  for (std::size_t batch = 0; batch < batch_count; ++batch) {
    ZEL_TRY(send_batch(device, app, batch, batches));
  }
  ZEL_TRY(start_application(device, final_mark, batch_count, batches));
  ZEL_TRY(guard.restore_all());
  zel_log::emit(zel_log::Level::Info, LOG_TARGET,
                "application loaded and initial synchronization completed",
                {{"tile_count", std::uint64_t{tile_count}}});
  return {};
}

}  // namespace zel_driver
