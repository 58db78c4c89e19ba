#include "reset_memory/file_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>

#include <fmt/format.h>

#include "zel_base/try.hpp"
#include "zel_base/unique_fd.hpp"
#include "zel_driver/bytes.hpp"
#include "zel_driver/configuration_image.hpp"

namespace reset_memory {
namespace {

using zel_base::OsError;
using zel_base::UniqueFd;

// The first allocation of a read of unknown length.
constexpr std::size_t FIRST_CHUNK = 4096;

std::unexpected<RunError> os_error() { return std::unexpected(RunError(OsError::last())); }

std::expected<struct stat, RunError> file_status(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return os_error();
  return status;
}

std::expected<UniqueFd, RunError> open_for_reading(const std::string& path, int flags = 0) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags));
  if (!file) return os_error();
  return file;
}

std::string_view kind_name(mode_t mode) {
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISDIR(mode)) return "directory";
  return "special file";
}

std::expected<void, RunError> require_regular(const struct stat& status) {
  if (S_ISREG(status.st_mode)) return {};
  return std::unexpected(RunError::text(
      fmt::format("configuration image is a {}, not a regular file", kind_name(status.st_mode))));
}

// Appends what `fd` holds from its position to `bytes`, until the end of the file or until
// `bytes` holds `limit` bytes. Memory grows with what arrives, never past `limit`.
std::expected<void, RunError> read_up_to(int fd, std::vector<std::byte>& bytes, std::size_t limit) {
  while (bytes.size() < limit) {
    const std::size_t filled = bytes.size();
    if (filled == bytes.capacity()) {
      bytes.reserve(std::min(limit, std::max(FIRST_CHUNK, 2 * filled)));
    }
    bytes.resize(std::min(limit, bytes.capacity()));
    const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
    const int error = errno;
    bytes.resize(filled + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got == 0) break;
    if (got < 0 && error != EINTR) return std::unexpected(RunError(OsError(error)));
  }
  return {};
}

// The size of a regular file as a first allocation, when it is one and within `limit`.
std::size_t expected_size(const struct stat& status, std::size_t limit) {
  if (!S_ISREG(status.st_mode) || status.st_size <= 0) return 0;
  return std::min(static_cast<std::size_t>(status.st_size), limit);
}

std::expected<std::vector<std::byte>, RunError> read_image(const std::string& path) {
  // A socket cannot be opened at all (ENXIO): its kind is told from the path first. A FIFO
  // that slips in after this is opened without waiting for a writer and refused by kind.
  struct stat status;
  if (::stat(path.c_str(), &status) == 0) ZEL_TRY(require_regular(status));
  ZEL_TRY_ASSIGN(const UniqueFd file, open_for_reading(path, O_NONBLOCK));
  ZEL_TRY_ASSIGN(status, file_status(file.get()));
  ZEL_TRY(require_regular(status));

  std::vector<std::byte> image;
  ZEL_TRY(read_up_to(file.get(), image, zel_driver::CONFIGURATION_IMAGE_HEADER));
  if (!zel_driver::has_configuration_magic(image)) return image;
  const std::uint32_t count =
      zel_driver::read_u32(image, zel_driver::CONFIGURATION_IMAGE_COUNT_AT).value();
  const std::uint64_t declared = zel_driver::configuration_image_size(count);
  // One byte past the declared size shows an image that is too long. A regular file whose
  // size differs from the declared one is refused whatever its records: a byte past the
  // header shows the replay as much, so a crafted header over a huge file reads nothing more.
  const bool size_differs =
      status.st_size > 0 && static_cast<std::uint64_t>(status.st_size) != declared;
  const std::size_t limit = size_differs ? zel_driver::CONFIGURATION_IMAGE_HEADER + 1
                                         : static_cast<std::size_t>(declared) + 1;
  image.reserve(std::max(image.size(), expected_size(status, limit)));
  ZEL_TRY(read_up_to(file.get(), image, limit));
  return image;
}

std::expected<std::vector<std::byte>, RunError> read_bootloader(const std::string& path) {
  const auto too_large = [] {
    return std::unexpected(
        RunError::text(fmt::format("bootloader ELF larger than {} bytes", BOOTLOADER_FILE_LIMIT)));
  };
  ZEL_TRY_ASSIGN(const UniqueFd file, open_for_reading(path));
  ZEL_TRY_ASSIGN(const struct stat status, file_status(file.get()));
  if (S_ISREG(status.st_mode) &&
      static_cast<std::uint64_t>(status.st_size) > BOOTLOADER_FILE_LIMIT) {
    return too_large();
  }
  std::vector<std::byte> bytes;
  // One byte past the file's size shows the end of it without a second allocation.
  bytes.reserve(expected_size(status, BOOTLOADER_FILE_LIMIT) + 1);
  ZEL_TRY(read_up_to(file.get(), bytes, BOOTLOADER_FILE_LIMIT + 1));
  if (bytes.size() > BOOTLOADER_FILE_LIMIT) return too_large();
  return bytes;
}

// Memory short for a file's bytes fails the read as the system's allocator would.
template <class Read>
std::expected<std::vector<std::byte>, RunError> with_allocation_failure_as_error(
    Read read, const std::string& path) {
  try {
    return read(path);
  } catch (const std::bad_alloc&) {
    return std::unexpected(RunError(OsError(ENOMEM)));
  }
}

}  // namespace

std::expected<std::vector<std::byte>, RunError> read_configuration_image(const std::string& path) {
  return with_allocation_failure_as_error(read_image, path);
}

std::expected<std::vector<std::byte>, RunError> read_bootloader_file(const std::string& path) {
  return with_allocation_failure_as_error(read_bootloader, path);
}

}  // namespace reset_memory
