#include "zel_driver/driver_error.hpp"

#include <fmt/format.h>

namespace zel_driver {

using zel_base::debug_quote;
using zel_base::Overloaded;

std::string ElfError::debug() const { return "Error(" + debug_quote(message_) + ")"; }

std::string DriverError::display() const {
  return std::visit(
      Overloaded{
          [](const Io& e) { return fmt::format("{}: {}", e.operation, e.source); },
          [](const Invalid& e) { return fmt::format("invalid device data: {}", e.text); },
          [](const Timeout& e) { return fmt::format("device timeout: {}", e.text); },
          [](const PackageError& e) { return fmt::format("package error: {}", e); },
          [](const ElfError& e) { return fmt::format("ELF error: {}", e); },
      },
      variant_);
}

std::string DriverError::debug() const {
  return std::visit(Overloaded{
                        [](const Io& e) {
                          return fmt::format("Io {{ operation: {}, source: {:?} }}",
                                             debug_quote(e.operation), e.source);
                        },
                        [](const Invalid& e) { return "Invalid(" + debug_quote(e.text) + ")"; },
                        [](const Timeout& e) { return "Timeout(" + debug_quote(e.text) + ")"; },
                        [](const PackageError& e) { return fmt::format("Package({:?})", e); },
                        [](const ElfError& e) { return fmt::format("Elf({:?})", e); },
                    },
                    variant_);
}

const Error* DriverError::cause() const {
  return std::visit(Overloaded{
                        [](const Io& e) -> const Error* { return &e.source; },
                        [](const Invalid&) -> const Error* { return nullptr; },
                        [](const Timeout&) -> const Error* { return nullptr; },
                        [](const auto& e) -> const Error* { return &e; },
                    },
                    variant_);
}

DriverError io_error(const char* operation) { return DriverError::Io{operation, OsError::last()}; }

}  // namespace zel_driver
