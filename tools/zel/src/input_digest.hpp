#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace zel {

// What a report says of an input file: its size and SHA-256 (lower-case hexadecimal).
struct InputDigest {
  std::uint64_t size = 0;
  std::string sha256;
};

// Reads the regular file at `path` once, a piece at a time; the reason when it cannot be read
// (or is not a regular file, which the digest would consume).
std::expected<InputDigest, std::string> input_digest(const std::string& path);

}  // namespace zel
