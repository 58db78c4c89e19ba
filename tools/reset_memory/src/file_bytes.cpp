#include "reset_memory/file_bytes.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

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

[[nodiscard]] std::expected<struct stat, RunError> file_status(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return os_error();
  return status;
}

// Opened without waiting: a FIFO with no writer yet reads as empty rather than hanging the open.
[[nodiscard]] std::expected<UniqueFd, RunError> open_for_reading(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return os_error();
  return file;
}

// Appends what `fd` holds from its position to `bytes`, until the end of the file or until
// `bytes` holds `limit` bytes. Memory grows with what arrives, never past `limit`. A stream
// silent for `stall_limit` fails the read, named as `what`.
[[nodiscard]] std::expected<void, RunError> read_up_to(int fd, std::vector<std::byte>& bytes,
                                                       std::size_t limit, std::string_view what,
                                                       std::chrono::milliseconds stall_limit) {
  while (bytes.size() < limit) {
    const std::size_t filled = bytes.size();
    if (filled == bytes.capacity()) {
      bytes.reserve(std::min(limit, std::max(FIRST_CHUNK, 2 * filled)));
    }
    bytes.resize(std::min(limit, bytes.capacity()));
    const auto got =
        zel_base::read_within(fd, bytes.data() + filled, bytes.size() - filled, stall_limit);
    bytes.resize(filled + got.value_or(0));
    if (!got && got.error().code() == ETIMEDOUT) {
      return std::unexpected(
          RunError::text(fmt::format("{}: {}", what, zel_base::stalled_stream_text(stall_limit))));
    }
    if (!got) return std::unexpected(RunError(got.error()));
    if (*got == 0) break;
  }
  return {};
}

// The size of a regular file as a first allocation, when it is one and within `limit`.
std::size_t expected_size(const struct stat& status, std::size_t limit) {
  if (!S_ISREG(status.st_mode) || status.st_size <= 0) return 0;
  return std::min(static_cast<std::size_t>(status.st_size), limit);
}

[[nodiscard]] std::expected<std::vector<std::byte>, RunError> read_image(
    const std::string& path, std::chrono::milliseconds stall_limit) {
  constexpr std::string_view WHAT = "configuration image";
  ZEL_TRY_ASSIGN(const UniqueFd file, open_for_reading(path));
  ZEL_TRY_ASSIGN(const struct stat status, file_status(file.get()));
  if (S_ISFIFO(status.st_mode)) {
    return std::unexpected(RunError::text("configuration image is a FIFO, not a regular file"));
  }

  std::vector<std::byte> image;
  ZEL_TRY(read_up_to(file.get(), image, zel_driver::CONFIGURATION_IMAGE_HEADER, WHAT, stall_limit));
  if (!zel_driver::has_configuration_magic(image)) return image;
  const std::uint32_t count =
      zel_driver::read_u32(image, zel_driver::CONFIGURATION_IMAGE_COUNT_AT).value();
  const std::uint64_t declared = zel_driver::configuration_image_size(count);
  // One byte past the declared size shows an image that is too long. A regular file whose
  // size differs from the declared one is refused whatever its records: a byte past the
  // header shows the replay as much, so a crafted header over a huge file reads nothing more.
  const bool size_differs = S_ISREG(status.st_mode) && status.st_size > 0 &&
                            static_cast<std::uint64_t>(status.st_size) != declared;
  const std::size_t limit = size_differs ? zel_driver::CONFIGURATION_IMAGE_HEADER + 1
                                         : static_cast<std::size_t>(declared) + 1;
  image.reserve(std::max(image.size(), expected_size(status, limit)));
  ZEL_TRY(read_up_to(file.get(), image, limit, WHAT, stall_limit));
  return image;
}

// A regular file whose size is known, privately: untouched pages cost nothing, and the
// mapping is not counted against the host's memory up front.
[[nodiscard]] std::expected<FileContents, RunError> map_whole(int fd, std::size_t size) {
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_NORESERVE, fd, 0);
  if (mapped == MAP_FAILED) return os_error();
  return FileContents(std::span(static_cast<std::byte*>(mapped), size));
}

[[nodiscard]] std::expected<FileContents, RunError> read_bootloader(
    const std::string& path, std::chrono::milliseconds stall_limit) {
  ZEL_TRY_ASSIGN(const UniqueFd file, open_for_reading(path));
  ZEL_TRY_ASSIGN(const struct stat status, file_status(file.get()));
  // A regular file that says it has a size has it; one that says 0 may be a file of the
  // system's own, generated as it is read, and is read as a stream.
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    return map_whole(file.get(), static_cast<std::size_t>(status.st_size));
  }
  std::vector<std::byte> bytes;
  ZEL_TRY(read_up_to(file.get(), bytes, BOOTLOADER_FILE_LIMIT + 1, "bootloader ELF", stall_limit));
  if (bytes.size() > BOOTLOADER_FILE_LIMIT) {
    return std::unexpected(
        RunError::text(fmt::format("bootloader ELF larger than {} bytes", BOOTLOADER_FILE_LIMIT)));
  }
  return FileContents(std::move(bytes));
}

// Memory short for a file's bytes fails the read as the system's allocator would.
template <class Read>
auto with_allocation_failure_as_error(Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const std::bad_alloc&) {
    return std::unexpected(RunError(OsError(ENOMEM)));
  }
}

}  // namespace

FileContents::FileContents(FileContents&& other) noexcept
    : read_(std::move(other.read_)),
      bytes_(std::exchange(other.bytes_, {})),
      mapped_(std::exchange(other.mapped_, false)) {
  if (!mapped_) bytes_ = read_;
}

FileContents::~FileContents() {
  if (mapped_) ::munmap(bytes_.data(), bytes_.size());
}

[[nodiscard]] std::expected<std::vector<std::byte>, RunError> read_configuration_image(
    const std::string& path, std::chrono::milliseconds stall_limit) {
  return with_allocation_failure_as_error([&] { return read_image(path, stall_limit); });
}

[[nodiscard]] std::expected<FileContents, RunError> read_bootloader_file(
    const std::string& path, std::chrono::milliseconds stall_limit) {
  return with_allocation_failure_as_error([&] { return read_bootloader(path, stall_limit); });
}

}  // namespace reset_memory
