#include "input_summary.hpp"

#include <algorithm>

#include "reset_memory/application_load.hpp"
#include "reset_memory/file_bytes.hpp"
#include "zel_base/try.hpp"
#include "zel_driver/bootloader_elf.hpp"
#include "zel_driver/configuration_image.hpp"
#include "zel_driver/host_sync.hpp"
#include "zel_driver/loader.hpp"
#include "zel_driver/transport.hpp"
#include "zel_driver/transport_frames.hpp"

namespace zel {
namespace {

using reset_memory::RunError;
using zel_driver::Device;

// The name packages give the target, for people to read.
std::string_view target_name(zel_target::Target target) {
  switch (target.value()) {
    case zel_target::Target::Zel21:
      return "zel21";
  }
  return "unknown";
}

// The problem of one of the files, named by its role.
template <class T>
[[nodiscard]] std::expected<T, InputProblem> concerning(const char* role,
                                                        std::expected<T, RunError> result) {
  if (!result) return std::unexpected(InputProblem{role, std::move(result.error())});
  return std::move(*result);
}

[[nodiscard]] std::expected<InputSummary::Capture, RunError> summarize_capture(
    const std::string& path) {
  ZEL_TRY_ASSIGN(const auto bytes, reset_memory::read_configuration_image(path));
  ZEL_TRY_ASSIGN(auto image, zel_driver::ConfigurationImage::read_header(bytes));
  ZEL_TRY(image.check_size());
  InputSummary::Capture capture{.records = image.count()};
  ZEL_TRY_ASSIGN(capture.skipped_host_sync_writes,
                 image.for_each_replayed([&](zel_driver::ConfigurationRecord record) {
                   const std::uint32_t offset = record.offset;
                   capture.lowest_offset = std::min(capture.lowest_offset.value_or(offset), offset);
                   capture.highest_offset =
                       std::max(capture.highest_offset.value_or(offset), offset);
                   return Device::check_offset(offset);
                 }));
  return capture;
}

[[nodiscard]] std::expected<InputSummary::Package, RunError> summarize_package(
    const zel_package::Application& app) {
  InputSummary::Package package{
      .target = std::string(target_name(app.target)),
      .schema_version = zel_package::PACKAGE_SCHEMA_VERSION,
      .compiler_version = app.compiler_version,
      .tiles = app.tiles.size(),
      .configuration_writes = app.device_config_writes.size(),
  };
  for (const auto& tile : app.tiles) {
    package.segments += tile.segments.size();
    ZEL_TRY_ASSIGN(auto image, app.tile_image(tile.physical_tile));
    package.image_bytes_total += image.size();
    package.image_bytes_largest =
        std::max<std::uint64_t>(package.image_bytes_largest, image.size());
    const std::uint64_t frames =
        zel_driver::frame_count(std::max(image.size(), zel_driver::MINIMUM_IMAGE_BYTES));
    package.frames_fewest =
        package.frames_fewest == 0 ? frames : std::min(package.frames_fewest, frames);
    package.frames_most = std::max(package.frames_most, frames);
  }
  for (const auto& plan : app.profile_tiles) package.profile_steps += plan.steps.size();
  // The run applies the package's writes after the load, each through the offset check.
  for (const auto& write : app.device_config_writes) ZEL_TRY(Device::check_offset(write.offset));
  return package;
}

[[nodiscard]] std::expected<InputSummary::Bootloader, RunError> summarize_bootloader(
    const std::string& path) {
  ZEL_TRY_ASSIGN(auto bytes, reset_memory::read_bootloader_file(path));
  ZEL_TRY_ASSIGN(auto elf, zel_driver::read_bootloader_elf(bytes.bytes()));
  return InputSummary::Bootloader{elf.elf_class, elf.big_endian, zel_driver::BOOTLOADER_ADDRESS,
                                  elf.segment_file_bytes, elf.segment_memory_bytes};
}

}  // namespace

[[nodiscard]] std::expected<InputSummary, InputProblem> summarize_inputs(
    const std::string& config_path, const std::string& package_path,
    const std::string& bootloader_path) {
  InputSummary summary;
  ZEL_TRY_ASSIGN(summary.capture, concerning("configuration", summarize_capture(config_path)));
  ZEL_TRY_ASSIGN(auto app, concerning("package", reset_memory::read_package(package_path)));
  ZEL_TRY_ASSIGN(summary.bootloader,
                 concerning("bootloader", summarize_bootloader(bootloader_path)));
  ZEL_TRY_ASSIGN(summary.package, concerning("package", summarize_package(app)));
  return summary;
}

}  // namespace zel
