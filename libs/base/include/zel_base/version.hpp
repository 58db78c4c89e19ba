#pragma once

#include <string_view>

namespace zel_base {

// The version of the stack ("0.6.0") and the source revision it was built from (a commit
// name, "-dirty" when the tree had changes; "unknown" outside a git checkout).
std::string_view version();
std::string_view source_revision();

}  // namespace zel_base
