#include <filesystem>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "output_file.hpp"
#include "zel/commands.hpp"
#include "zel_base/error.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"

namespace zel {
namespace {

using zel_base::debug_quote;

// A bootloader that fills the autoloader's prefix to a realistic 3 KiB: its segment holds
// this many bytes.
constexpr std::size_t BOOTLOADER_SEGMENT_BYTES = 3000;

// Written whole or not at all, as every file zel writes.
bool write_file(const std::string& path, std::span<const std::byte> bytes, std::ostream& out,
                std::ostream& err) {
  auto file = OutputFile::open(path, out, std::size_t{1} << 20);
  std::expected<void, zel_base::OsError> written;
  if (file) {
    file->stream().write(reinterpret_cast<const char*>(bytes.data()),
                         static_cast<std::streamsize>(bytes.size()));
    written = file->commit();
  } else {
    written = std::unexpected(file.error());
  }
  if (written) return true;
  err << fmt::format("zel fixtures: cannot write {}: {}\n", debug_quote(path),
                     written.error().reason());
  return false;
}

}  // namespace

int fixtures_command(const FixturesOptions& options, std::ostream& out, std::ostream& err) {
  const std::filesystem::path directory = options.directory;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    err << fmt::format("zel fixtures: cannot create {}: {}\n", debug_quote(directory.string()),
                       error.message());
    return 1;
  }

  auto bootloader = zel_fixtures::bootloader_elf(BOOTLOADER_SEGMENT_BYTES);
  if (!bootloader) {
    err << fmt::format("zel fixtures: bootloader ELF: {}\n", bootloader.error());
    return 1;
  }
  const auto config = zel_fixtures::configuration_image(zel_fixtures::captured_configuration());
  const auto package = zel_fixtures::write_package(
      zel_fixtures::idle_application(options.tiles, options.image_bytes));
  const std::string paths[] = {(directory / "configuration.zelcfg").string(),
                               (directory / "idle.package").string(),
                               (directory / "bootloader.elf").string()};
  if (!write_file(paths[0], config, out, err) || !write_file(paths[1], package, out, err) ||
      !write_file(paths[2], *bootloader, out, err)) {
    return 1;
  }
  for (const std::string& path : paths) out << debug_quote(path) << '\n';
  return 0;
}

}  // namespace zel
