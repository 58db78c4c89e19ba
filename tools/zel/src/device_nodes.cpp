#include "device_nodes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "node_status.hpp"
#include "zel_base/os_error.hpp"

namespace zel {
namespace {

std::string kind_of(mode_t mode) {
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISREG(mode)) return "regular file";
  if (S_ISDIR(mode)) return "directory";
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  return "special file";
}

DeviceNode look_at(const std::string& path) {
  DeviceNode node{.path = path};
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    node.kind = "missing";
    node.open_error = zel_base::OsError::last().name();
    return node;
  }
  node.kind = kind_of(status.st_mode);
  const NodeOwnership ownership = node_ownership(status);
  node.owner = ownership.owner;
  node.group = ownership.group;
  node.mode = ownership.mode;
  // Opened as the run opens it, without waiting on anything, and closed at once.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    node.open_error = zel_base::OsError::last().name();
  } else {
    ::close(fd);
  }
  return node;
}

}  // namespace

std::vector<DeviceNode> find_device_nodes(const std::string& directory) {
  std::vector<std::string> paths;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    if (entry.path().filename().string().starts_with("zel")) paths.push_back(entry.path().string());
  }
  std::ranges::sort(paths);
  std::vector<DeviceNode> nodes;
  for (const std::string& path : paths) nodes.push_back(look_at(path));
  return nodes;
}

bool same_device(const std::string& first, const std::string& second) {
  if (first == second) return true;
  struct stat a, b;
  if (::stat(first.c_str(), &a) != 0 || ::stat(second.c_str(), &b) != 0) return false;
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<std::string> installed_udev_rule() {
  for (const char* path : {"/etc/udev/rules.d/60-zel.rules", "/usr/lib/udev/rules.d/60-zel.rules",
                           "/lib/udev/rules.d/60-zel.rules"}) {
    if (::access(path, F_OK) == 0) return path;
  }
  return std::nullopt;
}

}  // namespace zel
