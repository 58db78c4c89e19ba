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

// The digest of the regular file at `path`, read once, when it holds at most `limit` bytes;
// otherwise the reason it was not taken. A file that is not regular is not read (that would
// take from a pipe what the run is meant to read), nor is a larger one (hashing it could cost
// more than the run, which reads no more than it needs), nor one that holds more than its
// size says (a file of the system's own, such as /proc/self/pagemap).
[[nodiscard]] std::expected<InputDigest, std::string> input_digest(const std::string& path,
                                                                   std::uint64_t limit);

}  // namespace zel
