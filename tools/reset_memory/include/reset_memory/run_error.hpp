#pragma once

#include <array>
#include <string>
#include <variant>

#include "zel_base/variant_error.hpp"
#include "zel_driver/driver_error.hpp"
#include "zel_package/package_error.hpp"

namespace reset_memory {

// Why a run ended early: one of the tool's own texts ("configuration file required"), a
// device error, a package error, or an operating-system error from reading a file. Its debug
// form is what follows "Error: ".
class RunError final : public zel_base::VariantError<RunError> {
 public:
  struct Text {
    std::string text;
  };
  using Variant =
      std::variant<Text, zel_driver::DriverError, zel_package::PackageError, zel_base::OsError>;
  // Each variant is the whole error: the text quoted, another error in its own form.
  static constexpr std::array<zel_base::VariantForm, 4> FORMS = {};

  RunError(Text text) : variant_(std::move(text)) {}
  RunError(zel_driver::DriverError error) : variant_(std::move(error)) {}
  RunError(zel_package::PackageError error) : variant_(std::move(error)) {}
  RunError(zel_base::OsError error) : variant_(error) {}

  static RunError text(std::string text) { return Text{std::move(text)}; }

  const Variant& variant() const { return variant_; }

 private:
  Variant variant_;
};

}  // namespace reset_memory
