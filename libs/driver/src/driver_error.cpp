#include "zel_driver/driver_error.hpp"

#include <fmt/format.h>

namespace zel_driver {

using zel_base::debug_quote;

std::string ElfError::debug() const { return "Error(" + debug_quote(message_) + ")"; }

std::string DriverError::Io::display() const { return fmt::format("{}: {}", operation, source); }

std::string DriverError::Io::debug() const {
  return fmt::format("Io {{ operation: {}, source: {:?} }}", debug_quote(operation), source);
}

DriverError io_error(const char* operation) { return DriverError::Io{operation, OsError::last()}; }

}  // namespace zel_driver
