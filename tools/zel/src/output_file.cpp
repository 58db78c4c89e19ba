#include "output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include <fmt/format.h>

namespace zel {
namespace {

using zel_base::OsError;

std::unexpected<OsError> last_error() { return std::unexpected(OsError::last()); }

// Where a regular file at `path` ends up: through a symbolic link to its target, so the link
// stays a link.
std::string final_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

// The mode a new file gets from open(2): 0666 less the umask; an existing file keeps its own.
mode_t file_mode(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) == 0) return status.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(std::string path, std::ostream* standard_output)
    : path_(std::move(path)), stream_(standard_output) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      temporary_(std::exchange(other.temporary_, {})),
      final_(std::move(other.final_)),
      file_stream_(std::move(other.file_stream_)),
      stream_(other.stream_) {}

OutputFile::~OutputFile() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::expected<OutputFile, OsError> OutputFile::open(const std::string& path,
                                                    std::ostream& standard_output,
                                                    std::size_t buffer_bytes) {
  if (path == "-") return OutputFile(path, &standard_output);
  OutputFile file(path, nullptr);
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    file.fd_ = zel_base::UniqueFd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.fd_) return last_error();
    // Writes wait as usual once the open could not.
    const int flags = ::fcntl(file.fd_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.fd_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
      return last_error();
    }
  } else {
    file.final_ = final_path(path);
    const std::filesystem::path final(file.final_);
    std::string pattern =
        (final.parent_path() / fmt::format(".{}.zel-XXXXXX", final.filename().string())).string();
    file.fd_ = zel_base::UniqueFd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!file.fd_) return last_error();
    file.temporary_ = pattern;
    if (::fchmod(file.fd_.get(), file_mode(file.final_)) != 0) return last_error();
  }
  file.file_stream_ = std::make_unique<zel_base::FdOutput>(file.fd_.get(), buffer_bytes);
  file.stream_ = file.file_stream_.get();
  return file;
}

std::expected<void, OsError> OutputFile::commit() {
  if (const int lost = zel_base::lost_output(*stream_); lost != 0) {
    return std::unexpected(OsError(lost));
  }
  if (!fd_) return {};
  // Synced before it is renamed, so a crash of the host cannot leave an empty file in place.
  if (!temporary_.empty() && ::fdatasync(fd_.get()) != 0) return last_error();
  file_stream_.reset();
  const int fd = fd_.release();
  if (::close(fd) != 0) return last_error();
  if (temporary_.empty()) return {};
  if (::rename(temporary_.c_str(), final_.c_str()) != 0) return last_error();
  temporary_.clear();
  return {};
}

}  // namespace zel
