#include "zel_base/error.hpp"

namespace zel_base {

std::string debug_quote(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  for (char c : text) {
    switch (c) {
      case '\\':
        quoted.append("\\\\");
        break;
      case '"':
        quoted.append("\\\"");
        break;
      case '\n':
        quoted.append("\\n");
        break;
      case '\r':
        quoted.append("\\r");
        break;
      case '\t':
        quoted.append("\\t");
        break;
      case '\0':
        quoted.append("\\0");
        break;
      default: {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
          quoted.append(fmt::format("\\u{{{:x}}}", byte));
        } else {
          quoted.push_back(c);
        }
      }
    }
  }
  quoted.push_back('"');
  return quoted;
}

}  // namespace zel_base
