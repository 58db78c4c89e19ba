#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zel {

// A ZEL device node of the host, as far as can be seen without asking its driver anything.
struct DeviceNode {
  std::string path;
  std::string kind;  // "character device", "regular file", ...
  std::string owner, group;
  std::string mode;                       // "crw-rw----"
  std::optional<std::string> open_error;  // errno name when it cannot be opened read/write
  bool usable() const { return kind == "character device" && !open_error; }
};

// The nodes named zel* in `directory` (/dev on a lab host), sorted: each is looked at, opened
// read/write and closed at once, nothing more (no request, no attach, no reset).
std::vector<DeviceNode> find_device_nodes(const std::string& directory);

// Whether two names reach one device: the same name, one node reached through a link, or two
// nodes of one device number. Two runs of one device would only find it held by each other.
bool same_device(const std::string& first, const std::string& second);

// Where the example udev rule is installed, if it is.
std::optional<std::string> installed_udev_rule();

}  // namespace zel
