#include <charconv>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"
#include "zelsim/commands.hpp"

namespace zelsim {
namespace {

// A bootloader that fills the autoloader's prefix to a realistic 3 KiB.
constexpr std::size_t BOOTLOADER_FILE_BYTES = 3000;
constexpr std::uint32_t MOST_TILES = 2048;

bool write_file(const std::filesystem::path& path, std::span<const std::byte> bytes,
                std::ostream& err) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    err << fmt::format("zelsim fixtures: cannot write {}\n", path.string());
    return false;
  }
  return true;
}

}  // namespace

int fixtures_command(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  std::optional<std::filesystem::path> directory;
  std::uint32_t tiles = 1472;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--tiles" && i + 1 < arguments.size()) {
      const std::string& text = arguments[++i];
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), tiles);
      // The loader takes whole batches of 64 tiles, up to the device's 2048.
      if (error != std::errc() || end != text.data() + text.size() || tiles == 0 ||
          tiles % 64 != 0 || tiles > MOST_TILES) {
        err << "zelsim fixtures: --tiles takes a multiple of 64 from 64 to 2048\n";
        return 2;
      }
    } else if (!directory && !arguments[i].starts_with("--")) {
      directory = arguments[i];
    } else {
      err << "usage: zelsim fixtures DIR [--tiles N]\n";
      return 2;
    }
  }
  if (!directory) {
    err << "usage: zelsim fixtures DIR [--tiles N]\n";
    return 2;
  }
  std::error_code error;
  std::filesystem::create_directories(*directory, error);
  if (error) {
    err << fmt::format("zelsim fixtures: cannot create {}: {}\n", directory->string(),
                       error.message());
    return 1;
  }

  auto bootloader = zel_fixtures::bootloader_elf(BOOTLOADER_FILE_BYTES);
  if (!bootloader) {
    err << fmt::format("zelsim fixtures: bootloader ELF: {}\n", bootloader.error());
    return 1;
  }
  const auto config = zel_fixtures::configuration_image(zel_fixtures::captured_configuration());
  const auto package = zel_fixtures::write_package(zel_fixtures::idle_application(tiles));
  if (!write_file(*directory / "configuration.zelcfg", config, err) ||
      !write_file(*directory / "idle.package", package, err) ||
      !write_file(*directory / "bootloader.elf", *bootloader, err)) {
    return 1;
  }
  out << fmt::format("{0}/configuration.zelcfg\n{0}/idle.package\n{0}/bootloader.elf\n",
                     directory->string());
  return 0;
}

}  // namespace zelsim
