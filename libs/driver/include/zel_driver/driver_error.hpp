#pragma once

#include <array>
#include <cerrno>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "zel_base/allocation_failure.hpp"
#include "zel_base/error.hpp"
#include "zel_base/os_error.hpp"
#include "zel_base/variant_error.hpp"
#include "zel_package/package_error.hpp"

namespace zel_driver {

using zel_base::Error;
using zel_base::OsError;
using zel_package::PackageError;

// An error of the ELF reader: a fixed message. Display: the message. Debug: Error("...")
class ElfError final : public Error {
 public:
  explicit ElfError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }
  std::string display() const override { return message_; }
  std::string debug() const override;

 private:
  std::string message_;
};

// The error of every fallible operation of the device library.
class DriverError final : public zel_base::VariantError<DriverError> {
 public:
  struct Io {
    const char* operation;  // a fixed text naming the failed system call
    OsError source;
    // Display: "{operation}: {source}". Debug: Io { operation: "...", source: Os { ... } }
    std::string display() const;
    std::string debug() const;
    const Error* cause() const { return &source; }
  };
  struct Invalid {
    std::string text;
  };
  struct Timeout {
    std::string text;
  };
  enum class Kind { Io, Invalid, Timeout, Package, Elf };
  using Variant = std::variant<Io, Invalid, Timeout, PackageError, ElfError>;
  // Io says everything itself; the others wrap their own form: Invalid("..."), "invalid device
  // data: ...".
  static constexpr auto FORMS = std::to_array<zel_base::VariantForm>({
      {"", ""},
      {"Invalid", "invalid device data"},
      {"Timeout", "device timeout"},
      {"Package", "package error"},
      {"Elf", "ELF error"},
  });

  DriverError(Io io) : variant_(std::move(io)) {}
  DriverError(Invalid invalid) : variant_(std::move(invalid)) {}
  DriverError(Timeout timeout) : variant_(std::move(timeout)) {}
  DriverError(PackageError error) : variant_(std::move(error)) {}
  DriverError(ElfError error) : variant_(std::move(error)) {}

  static DriverError invalid(std::string text) { return Invalid{std::move(text)}; }
  static DriverError timeout(std::string text) { return Timeout{std::move(text)}; }

  Kind kind() const { return static_cast<Kind>(variant_.index()); }
  const Variant& variant() const { return variant_; }

 private:
  Variant variant_;
};

static_assert(
    zel_base::kind_names<DriverError::Variant, DriverError::Io, DriverError::Kind::Io> &&
    zel_base::kind_names<DriverError::Variant, DriverError::Invalid, DriverError::Kind::Invalid> &&
    zel_base::kind_names<DriverError::Variant, DriverError::Timeout, DriverError::Kind::Timeout> &&
    zel_base::kind_names<DriverError::Variant, PackageError, DriverError::Kind::Package> &&
    zel_base::kind_names<DriverError::Variant, ElfError, DriverError::Kind::Elf>);

// `Io { operation, source }` with the calling thread's errno. Call it directly after the
// failing system call, before anything that could change errno.
DriverError io_error(const char* operation);

// Runs `body` (which returns a Result) and turns memory that runs short inside it into
// Io { operation, source: OutOfMemory }. What `body` disturbs on the device must be put back
// by owners that unwinding lets go, or be disturbed only after its allocations.
template <class Body>
std::invoke_result_t<Body&> with_allocation_failure_as_error(const char* operation, Body&& body) {
  return zel_base::with_allocation_failure_as(
      [operation] {
        return DriverError(DriverError::Io{operation, OsError(ENOMEM)});
      },
      std::forward<Body>(body));
}

}  // namespace zel_driver
