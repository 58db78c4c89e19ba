#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace zel_package {

// The bytes a segment stores, immutable once made. They are the segment's own (made from a
// vector), or share storage that holds the data of many segments: a package read copies all
// of them once into one block (see SegmentArena), rather than each into its own allocation of
// small pages. Copies share the bytes; the storage lives as long as any of them.
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

// One block of memory for the data of many segments, handed out in order. A block this large
// asks for huge pages, and only the pages written cost memory.
class SegmentArena {
 public:
  explicit SegmentArena(std::size_t capacity);

  // A copy of `bytes` in the block, or in memory of its own once the block is full.
  SegmentData copy(std::span<const std::byte> bytes);

 private:
  std::shared_ptr<std::byte> block_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
};

}  // namespace zel_package
