#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "zel_base/error.hpp"

namespace zel_base {

// An operating-system error number.
// Display: "No such file or directory (os error 2)".
// Debug:   Os { code: 2, kind: NotFound, message: "No such file or directory" }
class OsError final : public Error {
 public:
  explicit OsError(int code) : code_(code) {}

  // The calling thread's errno; take it right after the failing call.
  static OsError last();

  int code() const { return code_; }
  // The category name of the error number ("NotFound", "PermissionDenied", ...).
  std::string_view kind() const;
  // The system's message for the number.
  std::string message() const;
  // The number's symbolic name ("ENOENT"), or "E" and the number when it has none.
  std::string name() const;
  // The error whose name() is `name`; none for a text that is no such name.
  [[nodiscard]] static std::optional<OsError> named(std::string_view name);
  // The message and the name, for lines people read: "No such file or directory (ENOENT)".
  std::string reason() const;

  std::string display() const override;
  std::string debug() const override;

  bool operator==(const OsError& other) const { return code_ == other.code_; }

 private:
  int code_;
};

}  // namespace zel_base
