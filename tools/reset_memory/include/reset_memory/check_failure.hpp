#pragma once

#include <string>

namespace reset_memory {

// A check of the poison/reset/readback run that did not hold: where, and the two sides.
struct CheckFailure {
  std::string location;  // names the check, and the tiles and addresses concerned
  std::string left;      // the value found
  std::string right;     // the value expected

  // The report written to standard error: the location line, then the assertion lines.
  std::string report() const;
};

}  // namespace reset_memory
