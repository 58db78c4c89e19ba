#pragma once

#include <string>
#include <string_view>

namespace zel {

// `text` as the content or an attribute value of an XML or HTML element: the five markup
// characters as entities, and control characters that XML 1.0 does not allow (all but tab,
// line feed and carriage return) written as "\u{hex}", since no entity can carry them.
std::string markup_text(std::string_view text);

}  // namespace zel
