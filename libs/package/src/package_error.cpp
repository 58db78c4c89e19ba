#include "zel_package/package_error.hpp"

#include <fmt/format.h>

namespace zel_package {

std::string CapnpError::debug() const {
  return fmt::format("Exception {{ type: {}, description: {} }}", type_,
                     zel_base::debug_quote(description_));
}

std::string NotInSchema::display() const {
  return fmt::format("Enum value or union discriminant {} was not present in the schema.", value_);
}

std::string NotInSchema::debug() const { return fmt::format("NotInSchema({})", value_); }

std::string PackageError::display() const {
  return std::visit(
      zel_base::Overloaded{
          [](const CapnpError& e) { return fmt::format("Cap'n Proto error: {}", e); },
          [](const OsError& e) { return fmt::format("I/O error: {}", e); },
          [](const Utf8Error& e) { return fmt::format("invalid UTF-8 text: {}", e); },
          [](const NotInSchema& e) { return fmt::format("unknown schema enum value: {}", e); },
          [](const Invalid& e) { return fmt::format("invalid package: {}", e.text); },
      },
      variant_);
}

std::string PackageError::debug() const {
  return std::visit(
      zel_base::Overloaded{
          [](const CapnpError& e) { return fmt::format("Capnp({:?})", e); },
          [](const OsError& e) { return fmt::format("Io({:?})", e); },
          [](const Utf8Error& e) { return fmt::format("Utf8({:?})", e); },
          [](const NotInSchema& e) { return fmt::format("SchemaEnum({:?})", e); },
          [](const Invalid& e) { return "Invalid(" + zel_base::debug_quote(e.text) + ")"; },
      },
      variant_);
}

const Error* PackageError::cause() const {
  return std::visit(zel_base::Overloaded{
                        [](const Invalid&) -> const Error* { return nullptr; },
                        [](const auto& e) -> const Error* { return &e; },
                    },
                    variant_);
}

}  // namespace zel_package
