#pragma once

#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "reset_memory/run.hpp"
#include "zel_sim/sim_device.hpp"

namespace reset_memory::testing {

// The three input files of a run, written into a fresh directory that is removed afterwards.
class ToolFiles {
 public:
  explicit ToolFiles(std::uint32_t tiles = 64);
  ~ToolFiles();
  ToolFiles(const ToolFiles&) = delete;
  ToolFiles& operator=(const ToolFiles&) = delete;

  // Writes `bytes` to `name` in the directory and gives its path.
  std::string write(const std::string& name, std::span<const std::byte> bytes) const;
  std::string missing(const std::string& name) const { return (directory_ / name).string(); }

  const std::string& config() const { return config_; }
  const std::string& package() const { return package_; }
  const std::string& bootloader() const { return bootloader_; }
  std::vector<std::string> arguments() const { return {config_, package_, bootloader_}; }

 private:
  std::filesystem::path directory_;
  std::string config_, package_, bootloader_;
};

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

// The simulated kernel holds nothing of the run: no descriptor, mapping or attachment.
void expect_released(const zel_sim::SimDevice& sim);

// Runs the tool in-process on `backend`; the signal mask it sets is put back afterwards.
ToolRun run_tool(const std::vector<std::string>& arguments, zel_base::Backend& backend,
                 const RunSettings& settings = {});

}  // namespace reset_memory::testing
