#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reset_memory {

// A tile-memory word that did not read as the check expected.
struct FailingWord {
  std::uint16_t tile;
  std::uint32_t address;
  std::uint32_t value;  // what it read
};

// A check of the poison/reset/readback run that did not hold: where, and the two sides.
struct CheckFailure {
  std::string location;  // names the check, and the tiles and addresses concerned
  std::string left;      // the value found
  std::string right;     // the value expected
  std::vector<FailingWord> words;

  // The report written to standard error: the location line, then the assertion lines.
  std::string report() const;
};

}  // namespace reset_memory
