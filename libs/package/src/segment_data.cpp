#include "zel_package/segment_data.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace zel_package {

SegmentData::SegmentData(std::vector<std::byte> bytes) : size_(bytes.size()) {
  auto owner = std::make_shared<const std::vector<std::byte>>(std::move(bytes));
  first_ = std::shared_ptr<const std::byte>(owner, owner->data());
}

SegmentArena::SegmentArena(std::shared_ptr<std::byte> block, std::size_t capacity)
    : block_(std::move(block)), capacity_(capacity) {}

SegmentData SegmentArena::take(std::span<const std::byte> bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() > capacity_ - used_) {
    return SegmentData(std::vector<std::byte>(bytes.begin(), bytes.end()));
  }
  moves_.push_back({bytes.data(), used_, bytes.size()});
  used_ += bytes.size();
  return SegmentData(std::shared_ptr<const std::byte>(block_, block_.get() + moves_.back().to),
                     bytes.size());
}

// Whether moving each datum down in the order taken overwrites nothing still to be moved:
// every source lies in the block, no earlier than the one before it and no earlier than its
// own place. An honest message holds its data once, in the order it is read; data that is
// shared or out of order goes through a copy of its own.
bool SegmentArena::moves_in_place() const {
  const std::byte* const first = block_.get();
  const std::byte* previous = first;
  for (const Move& move : moves_) {
    if (move.from < previous || move.from < first + move.to ||
        move.from + move.size > first + capacity_) {
      return false;
    }
    previous = move.from;
  }
  return true;
}

void SegmentArena::settle() {
  std::byte* const first = block_.get();
  if (moves_in_place()) {
    for (const Move& move : moves_) std::memmove(first + move.to, move.from, move.size);
  } else {
    const std::unique_ptr<std::byte[]> gathered(new std::byte[used_]);
    for (const Move& move : moves_) std::memcpy(gathered.get() + move.to, move.from, move.size);
    std::memcpy(first, gathered.get(), used_);
  }
  moves_.clear();
  // What lies after the data was the message, which nothing reads any more.
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = (reinterpret_cast<std::uintptr_t>(first) + used_ + page - 1) / page * page;
  const auto end = (reinterpret_cast<std::uintptr_t>(first) + capacity_) / page * page;
  if (start < end) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

}  // namespace zel_package
