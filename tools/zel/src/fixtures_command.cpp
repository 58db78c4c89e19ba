#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "zel/commands.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"

namespace zel {
namespace {

// A bootloader that fills the autoloader's prefix to a realistic 3 KiB.
constexpr std::size_t BOOTLOADER_FILE_BYTES = 3000;

bool write_file(const std::filesystem::path& path, std::span<const std::byte> bytes,
                std::ostream& err) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    err << fmt::format("zel fixtures: cannot write {}\n", path.string());
    return false;
  }
  return true;
}

}  // namespace

int fixtures_command(const FixturesOptions& options, std::ostream& out, std::ostream& err) {
  const std::filesystem::path directory = options.directory;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    err << fmt::format("zel fixtures: cannot create {}: {}\n", directory.string(), error.message());
    return 1;
  }

  auto bootloader = zel_fixtures::bootloader_elf(BOOTLOADER_FILE_BYTES);
  if (!bootloader) {
    err << fmt::format("zel fixtures: bootloader ELF: {}\n", bootloader.error());
    return 1;
  }
  const auto config = zel_fixtures::configuration_image(zel_fixtures::captured_configuration());
  const auto package = zel_fixtures::write_package(
      zel_fixtures::idle_application(options.tiles, options.image_bytes));
  if (!write_file(directory / "configuration.zelcfg", config, err) ||
      !write_file(directory / "idle.package", package, err) ||
      !write_file(directory / "bootloader.elf", *bootloader, err)) {
    return 1;
  }
  out << fmt::format("{0}/configuration.zelcfg\n{0}/idle.package\n{0}/bootloader.elf\n",
                     directory.string());
  return 0;
}

}  // namespace zel
