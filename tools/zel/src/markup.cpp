#include "markup.hpp"

#include <fmt/format.h>

namespace zel {

std::string markup_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (const auto byte = static_cast<unsigned char>(c);
            (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", byte);
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace zel
