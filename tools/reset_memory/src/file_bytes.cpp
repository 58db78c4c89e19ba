#include "reset_memory/file_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "zel_base/unique_fd.hpp"

namespace reset_memory {
std::expected<std::vector<std::byte>, zel_base::OsError> read_file_bytes(const std::string& path) {
  const zel_base::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return std::unexpected(zel_base::OsError::last());
  struct stat status;
  if (::fstat(file.get(), &status) != 0) return std::unexpected(zel_base::OsError::last());

  std::vector<std::byte> bytes;
  // The size is a hint only: files that grow, shrink or report no size still read whole.
  bytes.reserve(status.st_size > 0 ? static_cast<std::size_t>(status.st_size) + 1 : 4096);
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size())
      bytes.resize(std::max<std::size_t>(bytes.capacity(), filled * 2 + 4096));
    const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(zel_base::OsError::last());
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace reset_memory
