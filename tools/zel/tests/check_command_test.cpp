// `zel check`: the inputs read and checked as the run reads and checks them, without a device.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "command_run.hpp"
#include "zel_base/error.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"

namespace zel {
namespace {

using testing::CommandRun;
using testing::TempDirectory;
using testing::zel;

class ZelCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zel({"fixtures", dir_.directory(), "--tiles", "64"}).status, 0);
  }

  std::string write(const std::string& name, std::span<const std::byte> bytes) const {
    std::ofstream(dir_.path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return dir_.path(name);
  }
  std::string config() const { return dir_.path("configuration.zelcfg"); }
  std::string package() const { return dir_.path("idle.package"); }
  std::string bootloader() const { return dir_.path("bootloader.elf"); }

  TempDirectory dir_;
};

TEST_F(ZelCheck, SummarizesTheSampleInputs) {
  const CommandRun check = zel({"check", config(), package(), bootloader()});
  ASSERT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.err, "");
  EXPECT_EQ(check.out,
            fmt::format("configuration {}\n"
                        "  records: 282 (5 host sync writes skipped)\n"
                        "  offsets written: 0x1000..0x1d41c\n"
                        "package {}\n"
                        "  target: zel21, schema version 5, compiler version \"1.3.0\"\n"
                        "  tiles: 64, segments: 128\n"
                        "  tile images: 1309696 bytes in all, largest 20464 bytes, 21 frames per "
                        "tile\n"
                        "  configuration writes: 3, profile steps: 4\n"
                        "bootloader {}\n"
                        "  ELF32, little endian, segment at 0x4c000: 3000 file bytes, 3256 memory "
                        "bytes\n",
                        zel_base::debug_quote(config()), zel_base::debug_quote(package()),
                        zel_base::debug_quote(bootloader())));

  const CommandRun json = zel({"check", "--json", config(), package(), bootloader()});
  ASSERT_EQ(json.status, 0);
  const auto summary = nlohmann::json::parse(json.out);
  EXPECT_EQ(summary["package"]["tiles"], 64);
  EXPECT_EQ(summary["bootloader"]["segment_address"], "0x4c000");
  EXPECT_EQ(summary["configuration"]["offsets_written"]["highest"], "0x1d41c");
}

// For every bad input, check prints the very line the run prints, and exits 1 as it does.
TEST_F(ZelCheck, RefusesWhatTheRunRefusesWithTheRunsOwnLine) {
  auto bad_header = zel_fixtures::configuration_image({{0x1000, 1}});
  bad_header[0] = std::byte{'X'};
  auto bad_size = zel_fixtures::configuration_image({{0x1000, 1}});
  bad_size.push_back(std::byte{0});
  auto bad_package = zel_fixtures::idle_application(64);
  bad_package.tiles.pop_back();  // the profile plans name a tile that no longer exists
  auto bad_write = zel_fixtures::idle_application(64);
  bad_write.device_config_writes.push_back({0x80000, 1});
  zel_fixtures::ElfFile two_segments{.segments = {{.vaddr = 0x4c000, .memsz = 16, .bytes = {}},
                                                  {.vaddr = 0x4c000, .memsz = 16, .bytes = {}}}};
  const std::string junk = write("junk", std::vector<std::byte>(64, std::byte{0x5a}));

  struct Case {
    const char* name;
    std::string config, package, bootloader;
    const char* role;  // of the file the problem concerns
  };
  const Case cases[] = {
      {"missing configuration", dir_.path("none"), package(), bootloader(), "configuration"},
      {"bad magic", write("c1", bad_header), package(), bootloader(), "configuration"},
      {"bad size", write("c2", bad_size), package(), bootloader(), "configuration"},
      {"offset outside the configuration space",
       write("c3", zel_fixtures::configuration_image({{0x1000, 1}, {0x80000, 2}})), package(),
       bootloader(), "configuration"},
      {"missing package and bootloader", config(), dir_.path("none"), dir_.path("none"), "package"},
      {"package not a message", config(), junk, bootloader(), "package"},
      {"package invalid", config(), write("p1", zel_fixtures::write_package(bad_package)),
       bootloader(), "package"},
      {"bootloader not ELF", config(), package(), junk, "bootloader"},
      {"two bootloader segments", config(), package(),
       write("b1", zel_fixtures::write_elf(two_segments).value()), "bootloader"},
      {"package write outside the configuration space", config(),
       write("p2", zel_fixtures::write_package(bad_write)), bootloader(), "package"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandRun check = zel({"check", c.config, c.package, c.bootloader});
    const CommandRun run = zel({"run", "--tiles", "64", c.config, c.package, c.bootloader});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(check.err.starts_with("Error: ")) << check.err;
    // The run's own line, then the file it concerns.
    const std::string path = std::string(c.role) == "configuration" ? c.config
                             : std::string(c.role) == "package"     ? c.package
                                                                    : c.bootloader;
    EXPECT_EQ(check.err, fmt::format("{}zel check: in the {} file {}\n", run.err, c.role,
                                     zel_base::debug_quote(path)));
    EXPECT_EQ(check.out, "");

    // With --json, standard output holds one object whatever the outcome.
    const CommandRun json = zel({"check", "--json", c.config, c.package, c.bootloader});
    EXPECT_EQ(json.status, 1);
    const auto object = nlohmann::json::parse(json.out);
    EXPECT_EQ(object["error"]["role"], c.role);
    EXPECT_EQ(object["error"]["path"], path);
    EXPECT_EQ("Error: " + object["error"]["debug"].get<std::string>() + "\n", run.err);
    EXPECT_TRUE(object["error"]["display"].is_string());
  }
}

}  // namespace
}  // namespace zel
