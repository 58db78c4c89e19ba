#pragma once

#include <expected>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace zel {

// An output named on the command line: a file (created or truncated), or `standard_output`
// for "-". What could not be written (a full disk, a closed pipe) is remembered with its
// reason and reported by close(), so an incomplete file never passes for a complete one.
class OutputFile {
 public:
  static std::expected<OutputFile, std::string> open(const std::string& path,
                                                     std::ostream& standard_output);
  OutputFile(OutputFile&&) noexcept;
  ~OutputFile();

  std::ostream& stream() { return *stream_; }
  const std::string& path() const { return path_; }
  // Flushes and closes; the reason when any of the output was lost.
  std::expected<void, std::string> close();

 private:
  class FileBuffer;
  OutputFile(std::string path, std::unique_ptr<FileBuffer> file, std::ostream* standard_output);

  std::string path_;
  std::unique_ptr<FileBuffer> file_;     // none for standard output
  std::unique_ptr<std::ostream> owned_;  // the stream over file_
  std::ostream* stream_;
};

}  // namespace zel
