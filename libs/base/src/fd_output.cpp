#include "zel_base/fd_output.hpp"

#include <unistd.h>

#include <cerrno>

namespace zel_base {

FdOutputBuffer::FdOutputBuffer(int fd, std::size_t capacity) : fd_(fd), buffer_(capacity) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

FdOutputBuffer::~FdOutputBuffer() { drain(); }

FdOutputBuffer::int_type FdOutputBuffer::overflow(int_type c) {
  if (!drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int FdOutputBuffer::sync() { return drain() ? 0 : -1; }

bool FdOutputBuffer::drain() {
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

FdOutput::FdOutput(int fd, std::size_t capacity) : std::ostream(nullptr), buffer_(fd, capacity) {
  rdbuf(&buffer_);
}

int lost_output(std::ostream& out) {
  if (out.good()) out.flush();
  if (const auto* buffer = dynamic_cast<const FdOutputBuffer*>(out.rdbuf())) {
    if (buffer->error() != 0) return buffer->error();
  }
  return out.fail() || out.bad() ? EIO : 0;
}

}  // namespace zel_base
