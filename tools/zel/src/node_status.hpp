#pragma once

#include <string>

namespace zel {

// What a device node is, for a line that helps: "crw-rw---- root:zel". None when it cannot be
// looked at.
std::string node_description(const std::string& path);

// The second line of an error from opening the device node at `path` with `error`: the node,
// what it is, and the likely cause where one is known (permission; no driver bound).
std::string node_open_hint(const std::string& path, int error);

}  // namespace zel
