#include "zel_base/error.hpp"

#include <optional>
#include <string_view>

#include "zel_base/utf8.hpp"

namespace zel_base {
namespace {

// The short escape of a character that has one.
std::optional<std::string_view> named_escape(char32_t c) {
  switch (c) {
    case '\\':
      return "\\\\";
    case '"':
      return "\\\"";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\0':
      return "\\0";
    default:
      return std::nullopt;
  }
}

// C0, DEL and C1 controls act on a terminal instead of showing.
constexpr bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  std::size_t index = 0;
  while (index < text.size()) {
    const auto decoded = decode_utf8_at(text, index);
    if (!decoded) {
      // The bytes that are no UTF-8, each as \x and two hexadecimal digits.
      const std::size_t invalid = decoded.error().error_len().value_or(text.size() - index);
      for (std::size_t k = 0; k < invalid; ++k) {
        quoted.append(fmt::format("\\x{:02x}", static_cast<unsigned char>(text[index + k])));
      }
      index += invalid;
      continue;
    }
    const char32_t c = decoded->code_point;
    if (const auto escape = named_escape(c)) {
      quoted.append(*escape);
    } else if (is_control(c)) {
      quoted.append(fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c)));
    } else {
      quoted.append(text.substr(index, decoded->length));
    }
    index += decoded->length;
  }
  quoted.push_back('"');
  return quoted;
}

}  // namespace zel_base
