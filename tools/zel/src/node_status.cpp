#include "node_status.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "zel_base/error.hpp"

namespace zel {
namespace {

char type_letter(mode_t mode) {
  if (S_ISCHR(mode)) return 'c';
  if (S_ISBLK(mode)) return 'b';
  if (S_ISDIR(mode)) return 'd';
  if (S_ISFIFO(mode)) return 'p';
  if (S_ISSOCK(mode)) return 's';
  if (S_ISLNK(mode)) return 'l';
  return '-';
}

std::string mode_text(mode_t mode) {
  std::string text(1, type_letter(mode));
  constexpr const char* LETTERS = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += (mode & (0400 >> bit)) != 0 ? LETTERS[bit] : '-';
  return text;
}

std::string user_name(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

// "crw-rw---- root:zel", or nothing when the node cannot be looked at.
std::string node_description(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return {};
  const NodeOwnership ownership = node_ownership(status);
  return fmt::format("{} {}:{}", ownership.mode, ownership.owner, ownership.group);
}

}  // namespace

NodeOwnership node_ownership(const struct stat& status) {
  return {mode_text(status.st_mode), user_name(status.st_uid), group_name(status.st_gid)};
}

std::string node_open_hint(const std::string& path, int error) {
  const std::string node = zel_base::debug_quote(path);
  const std::string what = node_description(path);
  switch (error) {
    case ENOENT:
      return fmt::format("{} does not exist: is the ZEL kernel driver loaded?", node);
    case EACCES:
    case EPERM:
      return fmt::format(
          "{} is {}: user {} may not open it read/write (permission; see the README's "
          "\"Access to the device node\")",
          node, what, user_name(::geteuid()));
    case ENXIO:
    case ENODEV:
      return fmt::format("{} is {}: no driver is bound to it (is the ZEL kernel driver loaded?)",
                         node, what);
    default:
      return what.empty() ? fmt::format("cannot open {}", node)
                          : fmt::format("cannot open {} ({})", node, what);
  }
}

}  // namespace zel
