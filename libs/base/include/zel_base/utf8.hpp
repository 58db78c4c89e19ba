#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "zel_base/error.hpp"

namespace zel_base {

// Where a byte sequence stops being UTF-8: the length of the valid prefix, and the length of
// the invalid sequence that follows it (the maximal-subpart rule), or none when the input
// ends inside a sequence that could still have been completed.
// Display: "invalid utf-8 sequence of 1 bytes from index 3" or
//          "incomplete utf-8 byte sequence from index 3".
// Debug:   Utf8Error { valid_up_to: 3, error_len: Some(1) }
class Utf8Error final : public Error {
 public:
  Utf8Error(std::size_t valid_up_to, std::optional<std::uint8_t> error_len)
      : valid_up_to_(valid_up_to), error_len_(error_len) {}

  std::size_t valid_up_to() const { return valid_up_to_; }
  std::optional<std::uint8_t> error_len() const { return error_len_; }

  std::string display() const override;
  std::string debug() const override;

  bool operator==(const Utf8Error& other) const {
    return valid_up_to_ == other.valid_up_to_ && error_len_ == other.error_len_;
  }

 private:
  std::size_t valid_up_to_;
  std::optional<std::uint8_t> error_len_;
};

// One well-formed UTF-8 sequence: the code point it encodes and its length in bytes.
struct Utf8Char {
  char32_t code_point;
  std::size_t length;
};

// The character that starts at `index` of `text` (index < text.size()), or the error of a
// text whose valid part ends there.
[[nodiscard]] std::expected<Utf8Char, Utf8Error> decode_utf8_at(std::string_view text,
                                                                std::size_t index);

// Checks that `bytes` is well-formed UTF-8 (no surrogates, no overlong forms, nothing above
// U+10FFFF).
[[nodiscard]] std::expected<void, Utf8Error> validate_utf8(std::string_view bytes);

}  // namespace zel_base
