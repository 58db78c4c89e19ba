#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <ostream>
#include <string>

#include "zel_base/fd_output.hpp"
#include "zel_base/os_error.hpp"
#include "zel_base/unique_fd.hpp"

namespace zel {

// An output named on the command line: a file, or `standard_output` for "-".
// A file is written to a temporary file in its folder and, once complete, synced and renamed
// into place, so a reader never sees half of it, two commands given one path leave one whole
// file, and a command that ends early leaves the path as it was. A path that exists and is
// not a regular file (a device, a FIFO) is written directly. Opening never waits: a FIFO
// without a reader is refused (ENXIO). What could not be written (a full disk, a closed pipe)
// is kept with its reason and reported by commit().
class OutputFile {
 public:
  [[nodiscard]] static std::expected<OutputFile, zel_base::OsError> open(
      const std::string& path, std::ostream& standard_output, std::size_t buffer_bytes);
  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();  // a file not committed is removed, the path left as it was

  std::ostream& stream() { return *stream_; }
  const std::string& path() const { return path_; }
  // Flushes and puts the file in place; the error when any of it was lost.
  [[nodiscard]] std::expected<void, zel_base::OsError> commit();

 private:
  OutputFile(std::string path, std::ostream* standard_output);

  std::string path_;
  zel_base::UniqueFd fd_;          // none for standard output
  std::string temporary_, final_;  // the file written and where it goes; none when direct
  std::unique_ptr<zel_base::FdOutput> file_stream_;
  std::ostream* stream_;
};

}  // namespace zel
