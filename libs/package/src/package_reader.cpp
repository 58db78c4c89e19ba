#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include <capnp/serialize.h>

#include "log_target.hpp"
#include "message_stream.hpp"
#include "wire_conversion.hpp"
#include "zel_base/allocation_failure.hpp"
#include "zel_base/stream_read.hpp"
#include "zel_base/try.hpp"
#include "zel_base/unique_fd.hpp"
#include "zel_log/log.hpp"
#include "zel_package/application.capnp.h"
#include "zel_package/application.hpp"

namespace zel_package {

namespace {

template <class T>
using Result = std::expected<T, PackageError>;
using Status = Result<void>;
using detail::convert_list;
using detail::copy_list;
using detail::copy_text;
using detail::copy_u32_list;

// Each reader below takes the fields of its record in the record's field order, which
// decides the error of a record with several faults.

Segment read_segment(wire::Segment::Reader wire, SegmentArena& arena) {
  Segment segment;
  segment.address = wire.getAddress();
  segment.memory_size = wire.getMemorySize();
  const capnp::Data::Reader data = wire.getData();
  segment.data = arena.take(std::as_bytes(std::span(data.begin(), data.size())));
  segment.flags = wire.getFlags();
  return segment;
}

TileImage read_tile(wire::TileImage::Reader wire, SegmentArena& arena) {
  TileImage tile;
  tile.physical_tile = wire.getPhysicalTile();
  tile.entry_point = wire.getEntryPoint();
  tile.command_address = wire.getCommandAddress();
  tile.diagnostic_address = wire.getDiagnosticAddress();
  tile.segments = copy_list<Segment>(wire.getSegments(), [&](wire::Segment::Reader segment) {
    return read_segment(segment, arena);
  });
  return tile;
}

// Nothing in a tile image is text, so only the list pointers themselves can fail.
std::vector<TileImage> read_tiles(capnp::List<wire::TileImage>::Reader list, SegmentArena& arena) {
  return copy_list<TileImage>(list,
                              [&](wire::TileImage::Reader tile) { return read_tile(tile, arena); });
}

RegionSlice read_region_slice(wire::RegionSlice::Reader wire) {
  return RegionSlice{
      .tile = wire.getTile(),
      .tile_address = wire.getTileAddress(),
      .file_offset = wire.getFileOffset(),
      .size = wire.getSize(),
  };
}

[[nodiscard]] Result<Binding> read_binding(wire::Binding::Reader wire) {
  Binding binding;
  ZEL_TRY_ASSIGN(binding.name, copy_text(wire.getName()));
  ZEL_TRY_ASSIGN(binding.dtype, copy_text(wire.getDtype()));
  binding.shape = copy_u32_list(wire.getShape());
  binding.slices = copy_list<RegionSlice>(wire.getSlices(), read_region_slice);
  return binding;
}

[[nodiscard]] Result<std::vector<Binding>> read_bindings(capnp::List<wire::Binding>::Reader list) {
  return convert_list<Binding>(list, read_binding);
}

HostPage read_host_page(wire::HostPage::Reader wire) {
  return HostPage{.index = wire.getIndex(), .size = wire.getSize()};
}

HostSlice read_host_slice(wire::HostSlice::Reader wire) {
  return HostSlice{
      .page = wire.getPage(),
      .page_offset = wire.getPageOffset(),
      .file_offset = wire.getFileOffset(),
      .size = wire.getSize(),
  };
}

std::vector<HostSlice> read_host_slices(capnp::List<wire::HostSlice>::Reader list) {
  return copy_list<HostSlice>(list, read_host_slice);
}

[[nodiscard]] Result<HostCall> read_host_call(wire::HostCall::Reader wire) {
  HostCall call;
  ZEL_TRY_ASSIGN(call.name, copy_text(wire.getName()));
  call.command = wire.getCommand();
  call.phases = wire.getPhases();
  call.invocations = wire.getInvocations();
  call.inputs = read_host_slices(wire.getInputs());
  call.outputs = read_host_slices(wire.getOutputs());
  call.input_batch_ends = copy_u32_list(wire.getInputBatchEnds());
  call.output_batch_ends = copy_u32_list(wire.getOutputBatchEnds());
  return call;
}

// An absent host exchange reads as the default one.
[[nodiscard]] Result<HostExchange> read_host_exchange(wire::HostExchange::Reader wire) {
  HostExchange exchange;
  exchange.startup_mark = wire.getStartupMark();
  exchange.command_page = wire.getCommandPage();
  exchange.command_offset = wire.getCommandOffset();
  exchange.pages = copy_list<HostPage>(wire.getPages(), read_host_page);
  exchange.attach_order = copy_u32_list(wire.getAttachOrder());
  ZEL_TRY_ASSIGN(exchange.calls, convert_list<HostCall>(wire.getCalls(), read_host_call));
  return exchange;
}

[[nodiscard]] Result<EntryPoint> read_entry_point(wire::EntryPoint::Reader wire) {
  EntryPoint entry_point;
  ZEL_TRY_ASSIGN(entry_point.name, copy_text(wire.getName()));
  entry_point.command = wire.getCommand();
  entry_point.external_syncs = wire.getExternalSyncs();
  return entry_point;
}

DeviceConfigWrite read_config_write(wire::DeviceConfigWrite::Reader wire) {
  return DeviceConfigWrite{.offset = wire.getOffset(), .value = wire.getValue()};
}

[[nodiscard]] Result<TileProfilePlan> read_profile_tile(wire::TileProfilePlan::Reader wire) {
  TileProfilePlan plan;
  plan.physical_tile = wire.getPhysicalTile();
  ZEL_TRY_ASSIGN(plan.steps, convert_list<ProfileStep>(wire.getSteps(), ProfileStep::read));
  return plan;
}

[[nodiscard]] Result<std::vector<TileProfilePlan>> read_profile_tiles(
    capnp::List<wire::TileProfilePlan>::Reader list) {
  return convert_list<TileProfilePlan>(list, read_profile_tile);
}

[[nodiscard]] Result<DebugSymbol> read_debug_symbol(wire::DebugSymbol::Reader wire) {
  DebugSymbol symbol;
  ZEL_TRY_ASSIGN(symbol.name, copy_text(wire.getName()));
  symbol.address = wire.getAddress();
  return symbol;
}

[[nodiscard]] Result<DebugRegion> read_debug_region(wire::DebugRegion::Reader wire) {
  DebugRegion region;
  region.physical_tile = wire.getPhysicalTile();
  region.address = wire.getAddress();
  region.size = wire.getSize();
  ZEL_TRY_ASSIGN(region.name, copy_text(wire.getName()));
  return region;
}

[[nodiscard]] Result<zel_target::Target> read_target(wire::Application::Reader root) {
  ZEL_TRY_ASSIGN(auto name, copy_text(root.getTarget()));
  auto target = zel_target::Target::from_str(name);
  // The target library's own text is dropped for the reader's.
  if (!target) return std::unexpected(PackageError::invalid("unsupported package target"));
  return *target;
}

bool header_matches(wire::Application::Reader root, zel_target::AddressRange window) {
  return root.getSchemaVersion() == PACKAGE_SCHEMA_VERSION &&
         root.getTileMemoryBase() == window.start && root.getTileMemorySize() == window.size();
}

// Fills the lists of `app` in field order; the first failure ends it.
[[nodiscard]] Status read_body(wire::Application::Reader root, SegmentArena& arena,
                               Application& app) {
  app.tiles = read_tiles(root.getTiles(), arena);
  ZEL_TRY_ASSIGN(app.inputs, read_bindings(root.getInputs()));
  ZEL_TRY_ASSIGN(app.outputs, read_bindings(root.getOutputs()));
  ZEL_TRY_ASSIGN(app.weights, read_bindings(root.getWeights()));
  ZEL_TRY_ASSIGN(app.host_exchange, read_host_exchange(root.getHostExchange()));
  ZEL_TRY_ASSIGN(app.entry_points,
                 convert_list<EntryPoint>(root.getEntryPoints(), read_entry_point));
  app.device_config_writes =
      copy_list<DeviceConfigWrite>(root.getDeviceConfigWrites(), read_config_write);
  ZEL_TRY_ASSIGN(app.profile_tiles, read_profile_tiles(root.getProfileTiles()));
  ZEL_TRY_ASSIGN(app.debug_symbols,
                 convert_list<DebugSymbol>(root.getDebugSymbols(), read_debug_symbol));
  ZEL_TRY_ASSIGN(app.debug_regions,
                 convert_list<DebugRegion>(root.getDebugRegions(), read_debug_region));
  return {};
}

// The model as the message in `words` holds it, its segment data taken from `arena`.
[[nodiscard]] Result<Application> read_model(kj::ArrayPtr<const capnp::word> words,
                                             SegmentArena& arena) {
  capnp::FlatArrayMessageReader message(words, detail::capnp_reader_options(words.size()));
  const auto root = message.getRoot<wire::Application>();

  ZEL_TRY_ASSIGN(auto target, read_target(root));
  if (!header_matches(root, target.tile_memory())) {
    return std::unexpected(PackageError::invalid("incompatible package header"));
  }
  Application app(target);
  ZEL_TRY_ASSIGN(app.compiler_version, copy_text(root.getCompilerVersion()));
  ZEL_TRY(read_body(root, arena, app));
  return app;
}

[[nodiscard]] Result<Application> read_package(int fd, std::chrono::milliseconds stall_limit) {
  ZEL_TRY_ASSIGN(auto words, detail::read_message_words(fd, stall_limit));
  // `words` is the one copy of the file. The model's texts and lists are copied out of the
  // message; its segment data, most of a package, moves within the buffer, which the model
  // then keeps in place of the message.
  const auto buffer = std::make_shared<kj::Array<capnp::word>>(std::move(words));
  SegmentArena arena(
      std::shared_ptr<std::byte>(buffer, reinterpret_cast<std::byte*>(buffer->begin())),
      buffer->size() * sizeof(capnp::word));
  ZEL_TRY_ASSIGN(auto app, read_model(*buffer, arena));
  arena.settle();
  ZEL_TRY(app.validate());
  return app;
}

// Cap'n Proto reports malformed messages by throwing; no exception leaves the library.
[[nodiscard]] Result<Application> read_package_guarded(int fd,
                                                       std::chrono::milliseconds stall_limit) {
  // A stream of unknown size may claim a message larger than memory, and building the model
  // may find memory short: a failure of reading the message, as the library would report
  // running out of a resource.
  return zel_base::with_allocation_failure_as(
      [] { return PackageError(CapnpError("Overloaded", "Cannot allocate memory")); },
      [&]() -> Result<Application> {
        try {
          return read_package(fd, stall_limit);
        } catch (const kj::Exception& exception) {
          return std::unexpected(detail::capnp_error(exception));
        }
      });
}

}  // namespace

std::expected<Application, PackageError> Application::read(zel_base::UniqueFd fd) {
  return read(std::move(fd), zel_base::STREAM_STALL_LIMIT);
}

std::expected<Application, PackageError> Application::read(zel_base::UniqueFd fd,
                                                           std::chrono::milliseconds stall_limit) {
  zel_log::emit(zel_log::Level::Info, LOG_TARGET, "reading application package");
  auto app = read_package_guarded(fd.get(), stall_limit);
  if (app) {
    zel_log::emit(
        zel_log::Level::Info, LOG_TARGET, "application package read",
        {{"tiles", std::uint64_t{app->tiles.size()}}, {"compiler", app->compiler_version}});
  }
  return app;
}

}  // namespace zel_package
