#pragma once

#include <sys/stat.h>

#include <string>

namespace zel {

// Who a node belongs to and its mode, as `ls -l` shows them: "crw-rw----", "root", "zel".
struct NodeOwnership {
  std::string mode, owner, group;
};
NodeOwnership node_ownership(const struct stat& status);

// The second line of an error from opening the device node at `path` with `error`: the node,
// what it is ("crw-rw---- root:zel") and the likely cause where one is known (permission; no
// driver bound; no node).
std::string node_open_hint(const std::string& path, int error);

}  // namespace zel
