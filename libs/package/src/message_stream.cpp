#include "message_stream.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "zel_base/little_endian.hpp"
#include "zel_base/stream_read.hpp"
#include "zel_base/try.hpp"

namespace zel_package::detail {

namespace {

constexpr std::size_t WORD_BYTES = sizeof(capnp::word);

// The Cap'n Proto library refuses messages of this many segments or more.
constexpr std::uint64_t SEGMENT_COUNT_LIMIT = 512;

// Every word of an honest message is traversed about once; a message whose pointers alias
// the same data is traversed many times over, and a list of structs without data or pointers
// costs a word per element though it takes no room at all. The reader may traverse a small
// multiple of the message's own size, and never less than a floor that any honest small
// package stays far below, whatever the shape of its records.
//
// A traversed word yields at most eight records (a list of one-byte elements read as a list
// of structs) or eight bytes of copied data, so a file of N bytes makes the reader build at
// most max(512 Ki, 4 N) records and copy at most max(512 KiB, 4 N) bytes: some tens of MiB
// of model for any small file, proportional to the file beyond.
constexpr std::uint64_t TRAVERSAL_WORDS_PER_MESSAGE_WORD = 4;
constexpr std::uint64_t TRAVERSAL_FLOOR_WORDS = 64 * 1024;

std::unexpected<PackageError> stream_error(std::string description) {
  return std::unexpected(PackageError(CapnpError("Failed", std::move(description))));
}

std::unexpected<PackageError> premature_end() { return stream_error("Premature EOF"); }

// Reads exactly `size` bytes: true, or false when the stream ends first.
[[nodiscard]] std::expected<bool, PackageError> read_exact(int fd, void* buffer, std::size_t size,
                                                           std::chrono::milliseconds stall_limit) {
  auto* at = static_cast<std::byte*>(buffer);
  while (size > 0) {
    const auto got = zel_base::read_within(fd, at, size, stall_limit);
    if (!got && got.error().code() == ETIMEDOUT) {
      return stream_error(zel_base::stalled_stream_text(stall_limit));
    }
    if (!got) return stream_error(fmt::format("read(fd): {}", got.error().message()));
    if (*got == 0) return false;
    at += *got;
    size -= *got;
  }
  return true;
}

// The bytes left in `fd` from its current position, when it is a regular file.
std::optional<std::uint64_t> bytes_left(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0 || position > status.st_size) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size - position);
}

// A message buffer this large is mapped on its own and asks for huge pages: the read then
// faults in a few hundred pages instead of one per 4 KiB. Smaller ones stay on the heap.
constexpr std::size_t HUGE_PAGE_BYTES = 2 * 1024 * 1024;

class UnmapDisposer : public kj::ArrayDisposer {
  void disposeImpl(void* first, std::size_t element_size, std::size_t element_count, std::size_t,
                   void (*)(void*)) const override {
    ::munmap(first, element_size * element_count);
  }
};
const UnmapDisposer UNMAP_DISPOSER;

// `words` uninitialized words; memory that runs short is std::bad_alloc as for the heap.
kj::Array<capnp::word> message_buffer(std::size_t words) {
  const std::size_t bytes = words * WORD_BYTES;
  if (bytes < HUGE_PAGE_BYTES) return kj::heapArray<capnp::word>(words);
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  ::madvise(memory, bytes, MADV_HUGEPAGE);  // without them it is only slower
  return kj::Array<capnp::word>(static_cast<capnp::word*>(memory), words, UNMAP_DISPOSER);
}

}  // namespace

[[nodiscard]] std::expected<kj::Array<capnp::word>, PackageError> read_message_words(
    int fd, std::chrono::milliseconds stall_limit) {
  // The table: the segment count minus one, each segment's size in words, padded to a word.
  std::vector<std::byte> table(WORD_BYTES);
  ZEL_TRY_ASSIGN(const bool count_read, read_exact(fd, table.data(), WORD_BYTES, stall_limit));
  if (!count_read) return premature_end();
  const std::uint64_t segment_count = std::uint64_t{*zel_base::load_u32_le(table, 0)} + 1;
  if (segment_count >= SEGMENT_COUNT_LIMIT) return stream_error("Message has too many segments.");
  const std::size_t table_words = (segment_count + 2) / 2;
  table.resize(table_words * WORD_BYTES);
  ZEL_TRY_ASSIGN(const bool table_read,
                 read_exact(fd, table.data() + WORD_BYTES, table.size() - WORD_BYTES, stall_limit));
  if (!table_read) return premature_end();
  std::uint64_t segment_words = 0;
  for (std::uint64_t segment = 0; segment < segment_count; ++segment) {
    segment_words += *zel_base::load_u32_le(table, 4 + 4 * segment);
  }
  // A table that claims more than the file holds is refused before anything is allocated.
  if (auto left = bytes_left(fd); left && segment_words > *left / WORD_BYTES) {
    return premature_end();
  }

  auto words = message_buffer(table_words + segment_words);
  std::memcpy(words.begin(), table.data(), table.size());
  ZEL_TRY_ASSIGN(const bool segments_read, read_exact(fd, words.begin() + table_words,
                                                      segment_words * WORD_BYTES, stall_limit));
  if (!segments_read) return premature_end();
  return words;
}

capnp::ReaderOptions capnp_reader_options(std::size_t message_words) {
  capnp::ReaderOptions options;
  options.traversalLimitInWords =
      std::max(TRAVERSAL_FLOOR_WORDS, TRAVERSAL_WORDS_PER_MESSAGE_WORD * message_words);
  return options;
}

}  // namespace zel_package::detail
