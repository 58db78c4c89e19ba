#include "tool_fixture.hpp"

#include <pthread.h>
#include <stdlib.h>

#include <fstream>

#include <gtest/gtest.h>

#include "reset_memory/run.hpp"
#include "zel_fixtures/config_image.hpp"
#include "zel_fixtures/elf_writer.hpp"
#include "zel_fixtures/idle_package.hpp"
#include "zel_fixtures/package_writer.hpp"

namespace reset_memory::testing {

void expect_released(const zel_sim::SimDevice& sim) {
  EXPECT_EQ(sim.open_descriptors(), 0u);
  EXPECT_EQ(sim.live_mappings(), 0u);
  EXPECT_TRUE(sim.attachments().empty());
}

ToolFiles::ToolFiles(std::uint32_t tiles) {
  std::string pattern = (std::filesystem::temp_directory_path() / "reset-memory-XXXXXX").string();
  directory_ = ::mkdtemp(pattern.data());
  config_ = write("configuration.zelcfg",
                  zel_fixtures::configuration_image(zel_fixtures::captured_configuration()));
  package_ =
      write("idle.package", zel_fixtures::write_package(zel_fixtures::idle_application(tiles)));
  bootloader_ = write("bootloader.elf", zel_fixtures::bootloader_elf(3000).value());
}

ToolFiles::~ToolFiles() { std::filesystem::remove_all(directory_); }

std::string ToolFiles::write(const std::string& name, std::span<const std::byte> bytes) const {
  const std::filesystem::path path = directory_ / name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

ToolRun run_tool(const std::vector<std::string>& arguments, zel_base::Backend& backend,
                 const RunSettings& settings) {
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, nullptr, &saved);
  std::ostringstream out, err;
  const int status = run(arguments, backend, out, err, settings);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return {status, out.str(), err.str()};
}

}  // namespace reset_memory::testing
