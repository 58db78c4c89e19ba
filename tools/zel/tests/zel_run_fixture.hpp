#pragma once

#include <charconv>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "command_run.hpp"

namespace zel::testing {

// `zel run` on the fixtures of a 256-tile device: four loader batches, so every kind of end can
// be reached.
class ZelRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zel({"fixtures", dir_.directory(), "--tiles", "256"}).status, 0);
  }
  // `zel run OPTIONS... CONFIG PACKAGE BOOTLOADER`
  CommandRun run(std::vector<std::string> options) const { return zel(run_arguments(options)); }
  std::vector<std::string> run_arguments(std::vector<std::string> options) const {
    std::vector<std::string> arguments = {"run"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    for (const char* name : {"configuration.zelcfg", "idle.package", "bootloader.elf"}) {
      arguments.push_back(dir_.path(name));
    }
    return arguments;
  }
  nlohmann::json report_of(std::vector<std::string> options) const {
    options.insert(options.begin(), {"--report", dir_.path("report.json")});
    run(options);
    std::ifstream file(dir_.path("report.json"));
    return nlohmann::json::parse(file);
  }

  TempDirectory dir_;
};

// A JSON string holding a hexadecimal number, as traces and reports write them.
inline std::optional<std::uint64_t> hex_value(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  const std::string text = value;
  std::uint64_t number = 0;
  if (!text.starts_with("0x")) return std::nullopt;
  auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), number, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

}  // namespace zel::testing
