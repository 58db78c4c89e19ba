#include "output_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zel {

// Large writes keep a long trace from costing a system call every few lines; the first error
// is kept, and nothing more is written after it.
class OutputFile::FileBuffer final : public std::streambuf {
 public:
  explicit FileBuffer(int fd) : fd_(fd), buffer_(1 << 20) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }
  ~FileBuffer() override {
    if (fd_ >= 0) ::close(fd_);
  }

  // Writes what is buffered and closes; 0 or the first error number.
  int close() {
    drain();
    if (::close(std::exchange(fd_, -1)) != 0 && error_ == 0) error_ = errno;
    return error_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return drain() ? 0 : -1; }

 private:
  bool drain() {
    const char* next = pbase();
    while (error_ == 0 && next < pptr()) {
      const ssize_t written = ::write(fd_, next, static_cast<std::size_t>(pptr() - next));
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) error_ = errno;
      if (written > 0) next += written;
    }
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return error_ == 0;
  }

  int fd_;
  int error_ = 0;
  std::vector<char> buffer_;
};

OutputFile::OutputFile(std::string path, std::unique_ptr<FileBuffer> file,
                       std::ostream* standard_output)
    : path_(std::move(path)), file_(std::move(file)) {
  if (file_) owned_ = std::make_unique<std::ostream>(file_.get());
  stream_ = file_ ? owned_.get() : standard_output;
}

OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile::~OutputFile() = default;

std::expected<OutputFile, std::string> OutputFile::open(const std::string& path,
                                                        std::ostream& standard_output) {
  if (path == "-") return OutputFile(path, nullptr, &standard_output);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(std::string(std::strerror(errno)));
  return OutputFile(path, std::make_unique<FileBuffer>(fd), nullptr);
}

std::expected<void, std::string> OutputFile::close() {
  stream_->flush();
  if (file_) {
    if (const int error = file_->close(); error != 0) {
      return std::unexpected(std::string(std::strerror(error)));
    }
  }
  if (stream_->fail()) return std::unexpected(std::string("write failed"));
  return {};
}

}  // namespace zel
