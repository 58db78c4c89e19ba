#pragma once

#include <cstddef>
#include <ostream>
#include <streambuf>
#include <vector>

namespace zel_base {

// A stream buffer that writes to a descriptor it does not own, in large writes, and keeps the
// first write error: output lost to a full disk or a closed pipe is never taken for output
// written. Nothing more is written after an error.
class FdOutputBuffer final : public std::streambuf {
 public:
  FdOutputBuffer(int fd, std::size_t capacity);
  FdOutputBuffer(const FdOutputBuffer&) = delete;
  FdOutputBuffer& operator=(const FdOutputBuffer&) = delete;
  ~FdOutputBuffer() override;  // writes what is buffered

  // The first error number a write met, or 0.
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool drain();

  int fd_;
  int error_ = 0;
  std::vector<char> buffer_;
};

// An output stream over a descriptor it does not own (standard output, say).
class FdOutput final : public std::ostream {
 public:
  explicit FdOutput(int fd, std::size_t capacity = 1 << 16);
  int error() const { return buffer_.error(); }

 private:
  FdOutputBuffer buffer_;
};

// Flushes `out` and says whether any of what was written to it was lost: the error number, or
// 0. A stream over an FdOutputBuffer gives the descriptor's own error; any other stream in a
// failed state gives EIO.
int lost_output(std::ostream& out);

}  // namespace zel_base
