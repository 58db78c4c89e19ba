#include "zel_package/segment_data.hpp"

#include <sys/mman.h>

#include <cstring>
#include <new>

namespace zel_package {
namespace {

// A block this large is mapped on its own and asks for huge pages, as the message buffer does:
// copying a large package's data then faults in a few hundred pages instead of one per 4 KiB.
constexpr std::size_t HUGE_PAGE_BYTES = 2 * 1024 * 1024;

std::shared_ptr<std::byte> block_of(std::size_t capacity) {
  if (capacity < HUGE_PAGE_BYTES) {
    return std::shared_ptr<std::byte>(new std::byte[capacity], std::default_delete<std::byte[]>());
  }
  // Not counted against the host's memory up front: the block is sized for the worst case,
  // and honest packages use a part of it.
  void* memory = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  ::madvise(memory, capacity, MADV_HUGEPAGE);  // without them it is only slower
  return std::shared_ptr<std::byte>(static_cast<std::byte*>(memory),
                                    [capacity](std::byte* block) { ::munmap(block, capacity); });
}

}  // namespace

SegmentData::SegmentData(std::vector<std::byte> bytes) : size_(bytes.size()) {
  auto owner = std::make_shared<const std::vector<std::byte>>(std::move(bytes));
  first_ = std::shared_ptr<const std::byte>(owner, owner->data());
}

SegmentArena::SegmentArena(std::size_t capacity)
    : block_(capacity == 0 ? nullptr : block_of(capacity)), capacity_(capacity) {}

SegmentData SegmentArena::copy(std::span<const std::byte> bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() > capacity_ - used_) {
    return SegmentData(std::vector<std::byte>(bytes.begin(), bytes.end()));
  }
  std::byte* at = block_.get() + used_;
  std::memcpy(at, bytes.data(), bytes.size());
  used_ += bytes.size();
  return SegmentData(std::shared_ptr<const std::byte>(block_, at), bytes.size());
}

}  // namespace zel_package
