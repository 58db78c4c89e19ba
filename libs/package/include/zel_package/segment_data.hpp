#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace zel_package {

// The bytes a segment stores, immutable once made. They are the segment's own (made from a
// vector), or share storage that holds the data of many segments: a package read moves all
// of them once within the buffer the file was read into (see SegmentArena), rather than
// copying each into an allocation of its own. Copies share the bytes; the storage lives as
// long as any of them.
class SegmentData {
 public:
  SegmentData() = default;
  SegmentData(std::vector<std::byte> bytes);  // NOLINT: a segment's bytes are data, as a vector
  // `size` bytes at `first`, kept alive by `first`'s owner.
  SegmentData(std::shared_ptr<const std::byte> first, std::size_t size)
      : first_(std::move(first)), size_(size) {}

  std::span<const std::byte> bytes() const { return {first_.get(), size_}; }
  const std::byte* data() const { return first_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::byte* begin() const { return first_.get(); }
  const std::byte* end() const { return first_.get() + size_; }

  bool operator==(const SegmentData& other) const {
    return std::ranges::equal(bytes(), other.bytes());
  }

 private:
  std::shared_ptr<const std::byte> first_;
  std::size_t size_ = 0;
};

// Gathers the data of many segments at the front of one block, the buffer a message was read
// into: once the message is no longer read, the data moves down within it and the rest of the
// block is given back. A large package's data then costs no memory beyond the file's one copy.
// What `take` hands out holds its bytes only once `settle` has run.
class SegmentArena {
 public:
  // `block`: `capacity` bytes that the data handed out shares.
  SegmentArena(std::shared_ptr<std::byte> block, std::size_t capacity);
  SegmentArena(const SegmentArena&) = delete;
  SegmentArena& operator=(const SegmentArena&) = delete;

  // The segment data that will hold a copy of `bytes` (which stay readable until `settle`):
  // the next bytes of the block, or memory of its own (at once) once the block is full.
  SegmentData take(std::span<const std::byte> bytes);
  // Puts the data taken in its place and gives back the whole pages of the block after it.
  void settle();

 private:
  struct Move {
    const std::byte* from;
    std::size_t to;
    std::size_t size;
  };

  bool moves_in_place() const;

  std::shared_ptr<std::byte> block_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::vector<Move> moves_;
};

}  // namespace zel_package
