#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "zel_package/binding.hpp"
#include "zel_package/debug_map.hpp"
#include "zel_package/host_exchange.hpp"
#include "zel_package/package_error.hpp"
#include "zel_package/profile.hpp"
#include "zel_package/tile_image.hpp"
#include "zel_target/target.hpp"

namespace zel_package {

// The one schema version of the package format this library reads.
inline constexpr std::uint32_t PACKAGE_SCHEMA_VERSION = 5;

// A named command of the application.
struct EntryPoint {
  std::string name;
  std::uint32_t command = 0;
  std::uint32_t external_syncs = 0;

  bool operator==(const EntryPoint&) const = default;
};

// A configuration-space write the package asks the host to apply.
struct DeviceConfigWrite {
  std::uint32_t offset = 0;
  std::uint32_t value = 0;

  bool operator==(const DeviceConfigWrite&) const = default;
};

// An application package in memory: a plain owned tree of records, in package order. It
// stores what the package holds without judging it; `validate` does the judging.
struct Application {
  zel_target::Target target;
  std::string compiler_version = "0.1.0";
  std::vector<TileImage> tiles;
  std::vector<Binding> inputs;
  std::vector<Binding> outputs;
  std::vector<Binding> weights;
  HostExchange host_exchange;
  std::vector<EntryPoint> entry_points;
  std::vector<DeviceConfigWrite> device_config_writes;
  std::vector<TileProfilePlan> profile_tiles;
  std::vector<DebugSymbol> debug_symbols;
  std::vector<DebugRegion> debug_regions;

  // The empty application for `target`: compiler version "0.1.0", every list empty, the
  // default host exchange.
  explicit Application(zel_target::Target target) : target(target) {}

  // Reads one package message from the descriptor `fd`, checks its header against its target
  // and validates it. Takes `fd` over and closes it on every path. Bytes after the message are
  // not read. The result is a complete, validated application or the first error: Capnp for
  // a stream or message that cannot be read, Utf8 for a text that is not UTF-8, SchemaEnum for
  // a profile kind outside the schema, Invalid for the header or a validation rule.
  // A stream that gives no data for 10 s (zel_base::STREAM_STALL_LIMIT) ends the read with
  // Capnp; the descriptor may be non-blocking.
  [[nodiscard]] static std::expected<Application, PackageError> read(int fd);
  // The same with another limit to the wait for a silent stream.
  [[nodiscard]] static std::expected<Application, PackageError> read(
      int fd, std::chrono::milliseconds stall_limit);

  // Checks every consistency rule in a fixed order and reports the first one broken, as an
  // Invalid error. Changes nothing.
  [[nodiscard]] std::expected<void, PackageError> validate() const;

  // The contiguous memory image of the first tile whose physical tile is `physical_tile`:
  // from its lowest segment address to its highest segment end, every segment's stored bytes
  // in place and zero elsewhere. Fails with "unknown tile {}", "tile has no loadable
  // segments", or, on an application that would not pass validation, with the segment error
  // validation gives rather than write outside the image.
  [[nodiscard]] std::expected<std::vector<std::byte>, PackageError> tile_image(
      std::uint32_t physical_tile) const;

  bool operator==(const Application&) const = default;
};

}  // namespace zel_package
