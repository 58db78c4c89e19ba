#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>

#include "zel_base/error.hpp"
#include "zel_base/os_error.hpp"
#include "zel_base/variant_error.hpp"
#include "zel_package/utf8.hpp"

namespace zel_package {

using zel_base::Error;
using zel_base::OsError;

// An error raised by the Cap'n Proto library while a message is read: its exception type
// ("Failed", "Overloaded", "Disconnected", "Unimplemented") and description.
// Display: the description. Debug: Exception { type: Failed, description: "..." }
class CapnpError final : public Error {
 public:
  CapnpError(std::string type, std::string description)
      : type_(std::move(type)), description_(std::move(description)) {}

  const std::string& type() const { return type_; }
  const std::string& description() const { return description_; }

  std::string display() const override { return description_; }
  std::string debug() const override;

 private:
  std::string type_;
  std::string description_;
};

// A 16-bit enumeration value that the schema does not define.
// Display: "Enum value or union discriminant 7 was not present in the schema."
// Debug:   NotInSchema(7)
class NotInSchema final : public Error {
 public:
  explicit NotInSchema(std::uint16_t value) : value_(value) {}
  std::uint16_t value() const { return value_; }
  std::string display() const override;
  std::string debug() const override;

 private:
  std::uint16_t value_;
};

// The error of every fallible operation of the package library.
class PackageError final : public zel_base::VariantError<PackageError> {
 public:
  struct Invalid {
    std::string text;
  };
  enum class Kind { Capnp, Io, Utf8, SchemaEnum, Invalid };
  using Variant = std::variant<CapnpError, OsError, Utf8Error, NotInSchema, Invalid>;
  // Each wraps its own form: Capnp(Exception { ... }), "Cap'n Proto error: ...".
  static constexpr auto FORMS = std::to_array<zel_base::VariantForm>({
      {"Capnp", "Cap'n Proto error"},
      {"Io", "I/O error"},
      {"Utf8", "invalid UTF-8 text"},
      {"SchemaEnum", "unknown schema enum value"},
      {"Invalid", "invalid package"},
  });

  PackageError(CapnpError error) : variant_(std::move(error)) {}
  PackageError(OsError error) : variant_(error) {}
  PackageError(Utf8Error error) : variant_(error) {}
  PackageError(NotInSchema error) : variant_(error) {}
  PackageError(Invalid invalid) : variant_(std::move(invalid)) {}

  static PackageError invalid(std::string text) { return PackageError(Invalid{std::move(text)}); }

  Kind kind() const { return static_cast<Kind>(variant_.index()); }
  const Variant& variant() const { return variant_; }

 private:
  Variant variant_;
};

static_assert(
    zel_base::kind_names<PackageError::Variant, CapnpError, PackageError::Kind::Capnp> &&
    zel_base::kind_names<PackageError::Variant, OsError, PackageError::Kind::Io> &&
    zel_base::kind_names<PackageError::Variant, Utf8Error, PackageError::Kind::Utf8> &&
    zel_base::kind_names<PackageError::Variant, NotInSchema, PackageError::Kind::SchemaEnum> &&
    zel_base::kind_names<PackageError::Variant, PackageError::Invalid,
                         PackageError::Kind::Invalid>);

}  // namespace zel_package
