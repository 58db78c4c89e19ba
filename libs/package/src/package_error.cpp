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

}  // namespace zel_package
