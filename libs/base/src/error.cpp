#include "zel_base/error.hpp"

#include <optional>

#include "zel_base/utf8.hpp"

namespace zel_base {
namespace {

// The escape of one ASCII character, or nothing when it stands as it is.
std::optional<std::string> ascii_escape(char c) {
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
    default: {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7f) return fmt::format("\\u{{{:x}}}", byte);
      return std::nullopt;
    }
  }
}

// C1 controls (U+0080 to U+009F) act on a terminal as the C0 ones do.
constexpr bool is_c1_control(char32_t code_point) {
  return code_point >= 0x80 && code_point <= 0x9f;
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  std::size_t index = 0;
  while (index < text.size()) {
    const char c = text[index];
    if (static_cast<unsigned char>(c) < 0x80) {
      if (auto escape = ascii_escape(c)) {
        quoted.append(*escape);
      } else {
        quoted.push_back(c);
      }
      ++index;
      continue;
    }
    auto decoded = decode_utf8_at(text, index);
    if (!decoded) {
      // The bytes that are no UTF-8, each as \x and two hexadecimal digits.
      const std::size_t invalid = decoded.error().error_len().value_or(text.size() - index);
      for (std::size_t k = 0; k < invalid; ++k) {
        quoted.append(fmt::format("\\x{:02x}", static_cast<unsigned char>(text[index + k])));
      }
      index += invalid;
    } else if (is_c1_control(decoded->code_point)) {
      quoted.append(fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(decoded->code_point)));
      index += decoded->length;
    } else {
      quoted.append(text.substr(index, decoded->length));
      index += decoded->length;
    }
  }
  quoted.push_back('"');
  return quoted;
}

}  // namespace zel_base
