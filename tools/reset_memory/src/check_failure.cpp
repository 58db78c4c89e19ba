#include "reset_memory/check_failure.hpp"

#include <fmt/format.h>

namespace reset_memory {

std::string CheckFailure::report() const {
  return fmt::format("{}\nassertion `left == right` failed\n  left: {}\n right: {}\n", location,
                     left, right);
}

}  // namespace reset_memory
