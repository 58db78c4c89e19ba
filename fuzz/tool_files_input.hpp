#pragma once

// One fuzz input that holds the tool's three files: the lengths of the configuration image
// and of the package as two little-endian 32-bit numbers, then the image, the package and the
// bootloader, which takes what remains. A length past the end is cut to it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel_fuzz {

struct ToolFiles {
  std::span<const std::byte> config, package, bootloader;
};

inline constexpr std::size_t TOOL_FILES_LENGTHS = 8;

inline ToolFiles split_tool_files(std::span<const std::byte> input) {
  const auto length = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 4 && at + k < input.size(); ++k) {
      value |= std::uint32_t(input[at + k]) << (8 * k);
    }
    return std::size_t{value};
  };
  std::span<const std::byte> rest = input.subspan(std::min(input.size(), TOOL_FILES_LENGTHS));
  const auto take = [&](std::size_t size) {
    const auto taken = rest.first(std::min(size, rest.size()));
    rest = rest.subspan(taken.size());
    return taken;
  };
  ToolFiles files;
  files.config = take(length(0));
  files.package = take(length(4));
  files.bootloader = rest;
  return files;
}

inline std::vector<std::byte> join_tool_files(std::span<const std::byte> config,
                                              std::span<const std::byte> package,
                                              std::span<const std::byte> bootloader) {
  std::vector<std::byte> input;
  for (const std::size_t size : {config.size(), package.size()}) {
    for (std::size_t k = 0; k < 4; ++k) input.push_back(std::byte(size >> (8 * k)));
  }
  input.insert(input.end(), config.begin(), config.end());
  input.insert(input.end(), package.begin(), package.end());
  input.insert(input.end(), bootloader.begin(), bootloader.end());
  return input;
}

}  // namespace zel_fuzz
