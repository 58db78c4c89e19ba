#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "reset_memory/run_error.hpp"
#include "zel_base/stream_read.hpp"

namespace reset_memory {

// The most of a bootloader read from a stream (a pipe, a device), whose size is not known in
// advance. The loader keeps at most 4 KiB of one segment; the ELF headers and whatever else a
// bootloader file carries fit many times over in this, and an endless stream (/dev/zero, say)
// is stopped here before it exhausts the host.
inline constexpr std::size_t BOOTLOADER_FILE_LIMIT = 16 * 1024 * 1024;

// The whole content of a file, as the ELF reader works in it: a regular file is mapped
// privately (of any size, it costs the memory of the pages touched, and the reader's own
// changes stay in this copy), anything else is read into memory.
class FileContents {
 public:
  explicit FileContents(std::vector<std::byte> bytes) : read_(std::move(bytes)), bytes_(read_) {}
  FileContents(std::span<std::byte> mapped) : bytes_(mapped), mapped_(true) {}
  FileContents(FileContents&& other) noexcept;
  FileContents& operator=(FileContents&&) = delete;
  ~FileContents();

  std::span<std::byte> bytes() { return bytes_; }

 private:
  std::vector<std::byte> read_;
  std::span<std::byte> bytes_;
  bool mapped_ = false;
};

// The configuration image at `path`, as the replay should judge it. The run reads the image
// twice and must get the same bytes both times, so a FIFO, which gives them once, is refused
// by kind (opening it does not wait for a writer); anything else is read, and a directory or a
// socket fails as reading it fails. The header is read first: a short image, or one without the
// magic, is handed over as it is; otherwise only the bytes its record count calls for are read,
// plus one that shows an excess, so memory stays within the size the image declares for itself.
[[nodiscard]] std::expected<std::vector<std::byte>, RunError> read_configuration_image(
    const std::string& path, std::chrono::milliseconds stall_limit = zel_base::STREAM_STALL_LIMIT);

// The bootloader file at `path`: a regular file whole, mapped; a stream (opened without
// waiting for a writer) read up to BOOTLOADER_FILE_LIMIT and refused beyond.
[[nodiscard]] std::expected<FileContents, RunError> read_bootloader_file(
    const std::string& path, std::chrono::milliseconds stall_limit = zel_base::STREAM_STALL_LIMIT);

}  // namespace reset_memory
